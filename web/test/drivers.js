// One interface over the three engines, each headless and from Debian's packages: Chromium and
// Firefox ESR through puppeteer-core (CDP, WebDriver BiDi), WebKitGTK's MiniBrowser through
// WebKitWebDriver under xvfb-run and selenium-webdriver. Nothing here downloads a browser.
// A driver: open(url), evaluate(fn, ...args), script(source), click(selector), choose(paths), download(selector)
// (the bytes once the browser reports the file complete), requests (made after the last open,
// null where the driver cannot see them), folders (whether choose takes a folder), pid (the
// browser's first process), close().
'use strict';
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');

const BINARIES = {
  chromium: '/usr/bin/chromium',
  firefox: '/usr/bin/firefox-esr',
  webkit: '/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser',
};
const PACKAGES = { chromium: 'chromium', firefox: 'firefox-esr', webkit: 'webkit2gtk-driver xvfb' };

// What a run in this engine lacks, in one line, or ''.
function missing(engine) {
  if (!fs.existsSync(BINARIES[engine])) return `needs Debian's ${PACKAGES[engine]}: apt-get install ${PACKAGES[engine]}`;
  try {
    require.resolve(engine === 'webkit' ? 'selenium-webdriver' : 'puppeteer-core');
  } catch (error) {
    return 'needs the pinned npm packages: (cd web && npm ci)';
  }
  return '';
}

// Resolves once with the completed download's file for each call of next().
function downloads() {
  const done = [];
  const waiting = [];
  return {
    complete: (file) => (waiting.length ? waiting.shift()(file) : done.push(file)),
    next: () => (done.length ? Promise.resolve(done.shift()) : new Promise((resolve) => waiting.push(resolve))),
  };
}

async function puppeteerDriver(engine, folder) {
  const puppeteer = require('puppeteer-core');
  const finished = downloads();
  const requests = [];
  const browser = await puppeteer.launch({
    browser: engine === 'firefox' ? 'firefox' : 'chrome',
    executablePath: BINARIES[engine],
    headless: true,
    // Without the background-networking flags chromium keeps trying to reach Google's hosts.
    args: engine === 'firefox' ? [] : ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--user-data-dir=${path.join(folder, 'profile')}`],
  });
  const page = await browser.newPage();
  page.on('pageerror', (error) => requests.push('page error: ' + error.message));
  const saved = path.join(folder, 'downloads');
  if (engine === 'firefox') {
    await browser.connection.send('browser.setDownloadBehavior',
      { downloadBehavior: { type: 'allowed', destinationFolder: saved } });
    browser.connection.on('browsingContext.downloadEnd', (event) => event.status === 'complete' && finished.complete(event.filepath));
    browser.connection.on('network.beforeRequestSent', (event) => requests.push(event.request.url));
  } else {
    const session = await browser.target().createCDPSession();
    await session.send('Browser.setDownloadBehavior', { behavior: 'allowAndName', downloadPath: saved, eventsEnabled: true });
    session.on('Browser.downloadProgress', (event) => event.state === 'completed' && finished.complete(path.join(saved, event.guid)));
    page.on('request', (request) => requests.push(request.url()));
  }
  return {
    pid: browser.process().pid,
    requests,
    folders: engine === 'chromium',
    open: async (url) => {
      await page.goto(url, { waitUntil: 'load' });
      requests.length = 0;
    },
    evaluate: (fn, ...args) => page.evaluate(fn, ...args),
    script: (source) => page.evaluate(source),
    click: (selector) => page.click(selector),
    choose: async (paths) => (await page.$('#image')).uploadFile(...paths),
    download: async (selector) => {
      await page.click(selector);
      return fs.readFileSync(await finished.next());
    },
    close: () => browser.close(),
  };
}

// WebKitGTK saves no download for its driver: the bytes are those of the Blob the page hands
// to the browser as a download, read in the page.
async function webkitDriver(folder) {
  const { Builder, By } = require('selenium-webdriver');
  const port = await new Promise((resolve) => {
    const server = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
  const service = spawn('xvfb-run', ['-a', 'WebKitWebDriver', `--port=${port}`],
    { detached: true, stdio: 'ignore', env: { ...process.env, HOME: folder } });
  let driver;
  for (let i = 0; i < 50 && !driver; i++) {
    await new Promise((resolve) => setTimeout(resolve, 200));
    driver = await new Builder().usingServer(`http://127.0.0.1:${port}`).withCapabilities({
      browserName: 'MiniBrowser',
      'webkitgtk:browserOptions': { binary: BINARIES.webkit, args: ['--automation'] },
    }).build().catch(() => undefined);
  }
  const evaluate = (fn, ...args) => driver.executeAsyncScript(`const done = arguments[arguments.length - 1];
    Promise.resolve((${fn}).apply(null, Array.from(arguments).slice(0, -1))).then(done, (e) => done('error: ' + e));`, ...args);
  return {
    pid: service.pid,
    requests: null,
    // A folder reaches the page as an empty File, as an empty file would.
    folders: false,
    open: async (url) => {
      await driver.get(url);
      await evaluate(() => {
        const blobs = new Map();
        const create = URL.createObjectURL;
        URL.createObjectURL = (blob) => { const url = create(blob); blobs.set(url, blob); return url; };
        window.vornixDownloads = [];
        document.addEventListener('click', (event) => {
          if (!event.target.download) return;
          event.preventDefault();
          window.vornixDownloads.push(blobs.get(event.target.href).arrayBuffer()
            .then((bytes) => Array.from(new Uint8Array(bytes), (b) => String.fromCharCode(b)).join('')));
        }, true);
      });
    },
    evaluate,
    script: (source) => driver.executeScript(source),
    click: async (selector) => (await driver.findElement(By.css(selector))).click(),
    choose: async (paths) => (await driver.findElement(By.id('image'))).sendKeys(paths.join('\n')),
    download: async (selector) => {
      await (await driver.findElement(By.css(selector))).click();
      return Buffer.from(await evaluate(() => window.vornixDownloads.pop()), 'latin1');
    },
    close: async () => {
      await driver.quit().catch(() => {});
      process.kill(-service.pid);
    },
  };
}

const launch = (engine, folder) => (engine === 'webkit' ? webkitDriver(folder) : puppeteerDriver(engine, folder));

module.exports = { launch, missing };
