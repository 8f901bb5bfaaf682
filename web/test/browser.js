// Debian's chromium, headless, driven by puppeteer-core; no browser is downloaded.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const puppeteer = require('puppeteer-core');

// Opens the page from disk with downloads going to downloadFolder. requestsAfterLoad collects
// every request the page makes once loaded, other than for its own in-memory downloads.
async function openPage(pageDir, downloadFolder) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'vornix-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    // Without the background-networking flags chromium keeps trying to reach Google's hosts.
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--user-data-dir=${profile}`],
  });
  const page = await browser.newPage();
  const session = await page.createCDPSession();
  await session.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloadFolder });
  const requestsAfterLoad = [];
  let loaded = false;
  page.on('request', (request) => {
    if (loaded && !request.url().startsWith('blob:')) requestsAfterLoad.push(request.url());
  });
  page.on('pageerror', (error) => requestsAfterLoad.push('page error: ' + error.message));
  await page.goto('file://' + path.resolve(pageDir, 'index.html'), { waitUntil: 'load' });
  loaded = true;
  return { browser, page, requestsAfterLoad };
}

// Chooses the file at filePath with the page's file picker and waits until the run is shown;
// returns the rows of the list: name, bytes, blocks.
async function runImage(page, filePath) {
  // Cleared first, so that a run reporting what the one before reported is seen to end.
  await page.$eval('#status', (element) => { element.textContent = ''; });
  const input = await page.$('#image');
  await input.uploadFile(filePath);
  await page.waitForFunction(() => {
    const status = document.getElementById('status').textContent;
    return status !== '' && !status.startsWith('Running');
  }, { timeout: 30000 });
  return page.$$eval('#files tbody tr',
    (rows) => rows.map((row) => Array.from(row.cells).slice(0, 3).map((cell) => cell.textContent)));
}

module.exports = { openPage, runImage };
