// The page in Debian's headless chromium, opened straight from disk: the demo image gives the
// native build's files, one by one and in the zip, byte for byte; a folder gets the program's
// open-failure message; nothing is requested once the page has loaded.
// Usage: node page_test.js STAGED_PAGE_DIR NATIVE_BUILD_DIR
'use strict';
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { nativeRun } = require('./native_run.js');
const { openPage, runImage } = require('./browser.js');

// The stored entries of a zip, read from its central directory.
function unzip(bytes) {
  const entries = new Map();
  const end = bytes.lastIndexOf(Buffer.from([0x50, 0x4b, 0x05, 0x06]));
  let at = bytes.readUInt32LE(end + 16);
  for (let i = 0; i < bytes.readUInt16LE(end + 10); i++) {
    assert.equal(bytes.readUInt32LE(at), 0x02014b50);
    assert.equal(bytes.readUInt16LE(at + 10), 0, 'stored, not compressed');
    const size = bytes.readUInt32LE(at + 24);
    const nameLength = bytes.readUInt16LE(at + 28);
    const name = bytes.subarray(at + 46, at + 46 + nameLength).toString();
    const local = bytes.readUInt32LE(at + 42);
    const data = local + 30 + bytes.readUInt16LE(local + 26) + bytes.readUInt16LE(local + 28);
    entries.set(name, bytes.subarray(data, data + size));
    at += 46 + nameLength + bytes.readUInt16LE(at + 30) + bytes.readUInt16LE(at + 32);
  }
  return entries;
}

async function downloaded(folder, name) {
  const file = path.join(folder, name);
  for (let i = 0; i < 200 && !fs.existsSync(file); i++) {
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  return fs.readFileSync(file);
}

(async () => {
  const [pageDir, nativeDir] = process.argv.slice(2);
  const demo = path.join(nativeDir, 'demo.d88');
  const native = nativeRun(nativeDir, demo);
  const downloads = fs.mkdtempSync(path.join(os.tmpdir(), 'vornix-downloads-'));
  const { browser, page, requestsAfterLoad } = await openPage(pageDir, downloads);
  try {
    const rows = await runImage(page, demo);
    assert.deepEqual(rows.map((row) => row[0]), [...native.files.keys()]);
    for (const [name, bytes, blocks] of rows) {
      const size = native.files.get(name).length;
      assert.equal(bytes, size.toLocaleString('en'), name);
      assert.equal(blocks, String(size / 1024), name);
    }
    // The hex view shows the first chunk's first bytes.
    const firstLine = native.files.get('ZK000').subarray(0, 16).toString('hex').match(/../g).join(' ');
    assert.ok((await page.$eval('#hex', (element) => element.textContent)).includes(firstLine));

    for (const name of native.files.keys()) {
      await page.click(`#files tbody button[aria-label="Download ${name}"]`);
      assert.ok((await downloaded(downloads, name)).equals(native.files.get(name)), name);
    }
    await page.click('#download-all');
    const zipped = unzip(await downloaded(downloads, 'demo-chunks.zip'));
    assert.deepEqual([...zipped.keys()], [...native.files.keys()]);
    for (const [name, bytes] of native.files) assert.ok(zipped.get(name).equals(bytes), name);

    // A folder, which the program cannot open: its message in Japanese and in English, and
    // nothing of the first image left.
    const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'vornix-folder-'));
    await runImage(page, folder);
    const messages = await page.$$eval('#message-list li', (items) => items.map((i) => i.textContent));
    assert.deepEqual(messages, ['ファイルをオープンできません The file cannot be opened.']);
    assert.equal(await page.$$eval('#files tbody tr', (r) => r.length), 0);
    assert.equal(await page.$eval('#results', (element) => element.hidden), true);

    assert.deepEqual(requestsAfterLoad, []);
    console.log('the page listed, showed and downloaded the native files byte for byte');
  } finally {
    await browser.close();
  }
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
