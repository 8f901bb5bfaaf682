// One interface over three engines from Debian's packages, headless: Chromium and Firefox ESR
// through puppeteer-core (CDP, WebDriver BiDi), WebKitGTK through WebKitWebDriver under
// xvfb-run and selenium-webdriver. download() gives the bytes once the browser reports the file
// complete; requests are those since the last open (null where the driver cannot see them).
'use strict';
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');

const BINARIES = { chromium: '/usr/bin/chromium', firefox: '/usr/bin/firefox-esr',
  webkit: '/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser' };
const PACKAGES = { chromium: 'chromium', firefox: 'firefox-esr', webkit: 'webkit2gtk-driver xvfb xauth' };
// Firefox reads German, whose numbers a page tells from English ones by their separators.
const LANGUAGE = 'de-DE';
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// What a run in this engine lacks, in one line, or ''.
function missing(engine) {
  if (!fs.existsSync(BINARIES[engine])) return `needs Debian's ${PACKAGES[engine]}: apt-get install ${PACKAGES[engine]}`;
  return fs.existsSync(path.join(__dirname, '../node_modules', engine === 'webkit' ? 'selenium-webdriver' : 'puppeteer-core'))
    ? '' : 'needs the pinned npm packages: (cd web && npm ci)';
}

async function puppeteerDriver(engine, folder) {
  const completed = [];
  const requests = [];
  const browser = await require('puppeteer-core').launch({
    browser: engine === 'firefox' ? 'firefox' : 'chrome', executablePath: BINARIES[engine], headless: true,
    extraPrefsFirefox: { 'intl.accept_languages': LANGUAGE, 'intl.locale.requested': LANGUAGE },
    // Without the background-networking flags chromium keeps trying to reach Google's hosts.
    args: engine === 'firefox' ? [] : ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync', `--user-data-dir=${folder}/profile`],
  });
  const page = await browser.newPage();
  page.on('pageerror', (error) => requests.push('page error: ' + error.message));
  const saved = path.join(folder, 'downloads');
  if (engine === 'firefox') {
    const bidi = browser.connection;
    await bidi.send('browser.setDownloadBehavior', { downloadBehavior: { type: 'allowed', destinationFolder: saved } });
    bidi.on('browsingContext.downloadEnd', (event) => event.status === 'complete' && completed.push(event.filepath));
    bidi.on('network.beforeRequestSent', (event) => requests.push(event.request.url));
  } else {
    const cdp = await browser.target().createCDPSession();
    await cdp.send('Browser.setDownloadBehavior', { behavior: 'allowAndName', downloadPath: saved, eventsEnabled: true });
    cdp.on('Browser.downloadProgress', (event) => event.state === 'completed' && completed.push(path.join(saved, event.guid)));
    page.on('request', (request) => requests.push(request.url()));
  }
  return {
    pid: browser.process().pid, requests, folders: engine === 'chromium',
    open: async (url) => {
      await page.goto(url, { waitUntil: 'load' });
      requests.length = 0;
    },
    evaluate: (fn, ...args) => page.evaluate(fn, ...args),
    script: (source) => page.evaluate(source),
    click: (selector) => page.click(selector),
    resize: (width) => page.setViewport({ width, height: 700 }),
    choose: async (paths) => (await page.$('#image')).uploadFile(...paths),
    download: async (selector) => {
      await page.click(selector);
      for (let i = 0; i < 750 && completed.length === 0; i++) await sleep(20);
      if (completed.length === 0) throw new Error(`no download completed in 15 s after clicking ${selector}`);
      return fs.readFileSync(completed.shift());
    },
    close: () => browser.close(),
  };
}

// WebKitGTK saves no download for its driver: the bytes are those of the Blob the page hands the
// browser as a download, read in the page. A folder reaches the page as an empty File.
async function webkitDriver(folder) {
  const { Builder, By } = require('selenium-webdriver');
  const probe = net.createServer().listen(0, '127.0.0.1');
  await new Promise((resolve) => probe.on('listening', resolve));
  const { port } = probe.address();
  probe.close();
  const service = spawn('xvfb-run', ['-a', 'WebKitWebDriver', `--port=${port}`],
    { detached: true, stdio: 'ignore', env: { ...process.env, HOME: folder } });
  let driver;
  for (let i = 0; i < 50 && !driver; i++) {
    await sleep(200);
    driver = await new Builder().usingServer(`http://127.0.0.1:${port}`).withCapabilities({ browserName: 'MiniBrowser',
      'webkitgtk:browserOptions': { binary: BINARIES.webkit, args: ['--automation'] } }).build().catch(() => undefined);
  }
  if (!driver) {
    process.kill(-service.pid);
    throw new Error('WebKitWebDriver under xvfb-run gave no session in 10 s');
  }
  const evaluate = (fn, ...args) => driver.executeAsyncScript(`const done = arguments[arguments.length - 1];
    Promise.resolve((${fn}).apply(null, Array.from(arguments).slice(0, -1))).then(done, (e) => done('error: ' + e));`, ...args);
  const element = (selector) => driver.findElement(By.css(selector));
  return {
    pid: service.pid, requests: null, folders: false, evaluate,
    open: async (url) => {
      await driver.get(url);
      await evaluate(() => {
        const blobs = new Map();
        const create = URL.createObjectURL;
        URL.createObjectURL = (blob) => { const url = create(blob); blobs.set(url, blob); return url; };
        window.downloaded = [];
        document.addEventListener('click', (event) => {
          if (!event.target.download) return;
          event.preventDefault();
          window.downloaded.push(blobs.get(event.target.href).arrayBuffer()
            .then((bytes) => Array.from(new Uint8Array(bytes), (b) => String.fromCharCode(b)).join('')));
        }, true);
      });
    },
    script: (source) => driver.executeScript(source),
    click: async (selector) => (await element(selector)).click(),
    resize: (width) => driver.manage().window().setRect({ width, height: 700 }),
    choose: async (paths) => (await element('#image')).sendKeys(paths.join('\n')),
    download: async (selector) => {
      await (await element(selector)).click();
      // A zip is handed over once its worker has built it.
      return Buffer.from(await evaluate(async () => {
        for (let i = 0; i < 750 && window.downloaded.length === 0; i++) await new Promise((resolve) => setTimeout(resolve, 20));
        return window.downloaded.pop();
      }), 'latin1');
    },
    // The driver stopped alone, xvfb-run stops its X server and removes its folder.
    close: async () => {
      await driver.quit().catch(() => {});
      if (service.exitCode !== null) return;
      const children = fs.readFileSync(`/proc/${service.pid}/task/${service.pid}/children`, 'utf8').trim().split(' ');
      for (const child of children) {
        if (fs.readFileSync(`/proc/${child}/comm`, 'utf8').trim() === 'WebKitWebDriver') process.kill(Number(child));
      }
      await new Promise((resolve) => service.on('exit', resolve));
    },
  };
}

const launch = (engine, folder) => (engine === 'webkit' ? webkitDriver(folder) : puppeteerDriver(engine, folder));

module.exports = { launch, missing };
