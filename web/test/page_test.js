// The page in one engine, headless, from file:// and from a local server that logs every
// request: the same checks whatever the engine. The demo image gives the native build's files,
// listed, shown in full, downloaded one by one and zipped, byte for byte; several images give a
// folder each; a hostile name stays text; a run can be stopped and a newer image replaces it; a
// folder or an unreadable file gets the program's message, a file that is no D88 image a note;
// axe-core finds nothing before, during and after a run; nothing is requested after load.
// Usage: node page_test.js chromium|firefox|webkit STAGED_PAGE_DIR NATIVE_BUILD_DIR
'use strict';
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { nativeRun, nativeMissing } = require('./native_run.js');
const { launch, missing } = require('./drivers.js');

const [engine, pageDir, nativeDir] = process.argv.slice(2);
const lacking = nativeMissing(nativeDir) || missing(engine) ||
  (spawnSync('unzip', ['-v']).status === 0 ? '' : "needs Debian's unzip: apt-get install unzip");
if (lacking) {
  console.error(`web.page.${engine} ${lacking}`);
  process.exit(1);
}

const text = (selector) => document.querySelector(selector).textContent;
const rows = () => Array.from(document.querySelectorAll('#files tbody tr'), (row) => row.cells[0].textContent);
const messages = () => Array.from(document.querySelectorAll('#messages li'), (item) => item.textContent);
const hexLines = (bytes) => Array.from({ length: Math.ceil(bytes.length / 16) }, (_, i) =>
  `${(i * 16).toString(16).padStart(8, '0')}  ${bytes.subarray(i * 16, i * 16 + 16).toString('hex').match(/../g).join(' ')}`);

// Every CRC by unzip -t; both headers of each entry alike; each entry the expected bytes.
function checkZip(bytes, expected, file) {
  fs.writeFileSync(file, bytes);
  const test = spawnSync('unzip', ['-t', file]);
  assert.equal(test.status, 0, test.stdout.toString());
  const end = bytes.lastIndexOf(Buffer.from('PK\x05\x06'));
  assert.equal(bytes.readUInt16LE(end + 8), expected.size);
  assert.equal(bytes.readUInt16LE(end + 10), expected.size);
  for (let i = 0, at = bytes.readUInt32LE(end + 16); i < expected.size; i++) {
    const nameLength = bytes.readUInt16LE(at + 28);
    const name = bytes.subarray(at + 46, at + 46 + nameLength).toString();
    const local = bytes.readUInt32LE(at + 42);
    assert.equal(bytes.readUInt32LE(local), 0x04034b50);
    assert.deepEqual(bytes.subarray(local + 4, local + 30), bytes.subarray(at + 6, at + 32), name);
    const data = local + 30 + nameLength;
    assert.ok(bytes.subarray(data, data + bytes.readUInt32LE(at + 24)).equals(expected.get(name)), name);
    at += 46 + nameLength;
  }
}

(async () => {
  const native = nativeRun(nativeDir, path.join(nativeDir, 'demo.d88'));
  const work = fs.mkdtempSync(path.join(os.tmpdir(), `vornix-page-${engine}-`));
  const log = [];
  const server = http.createServer((request, response) => {
    log.push(request.url);
    fs.readFile(path.join(pageDir, path.basename(request.url)), (error, body) => response.end(error ? '' : body));
  }).listen(0, '127.0.0.1');
  const page = await launch(engine, work);
  const waitFor = async (fn, what) => {
    for (let i = 0; i < 300; i++) {
      if (await page.evaluate(fn)) return;
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
    assert.fail(`waited 15 s for ${what}`);
  };
  const done = () => waitFor(() => document.getElementById('run').hidden && document.getElementById('status').textContent !== '', 'the run');
  const axe = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');
  const noViolation = async (when) => {
    if (!await page.evaluate(() => Boolean(window.axe))) await page.script(axe);
    assert.deepEqual(await page.evaluate(async () => (await window.axe.run({ preload: false })).violations
      .map((v) => `${v.id}: ${v.nodes.map((n) => n.target).join(' ')}`)), [], `axe-core ${when}`);
  };
  const copy = (name, from = path.join(nativeDir, 'demo.d88')) => {
    fs.copyFileSync(from, path.join(work, name));
    return path.join(work, name);
  };
  try {
    await page.open('file://' + path.resolve(pageDir, 'index.html'));
    await noViolation('before a run');
    assert.match(await page.evaluate(text, '#version'), /^vornix \d+\.\d+\.\d+$/);
    await page.choose([path.join(nativeDir, 'demo.d88')]);
    await done();
    assert.equal(await page.evaluate(text, '#status'), 'demo.d88: 8 chunk files.');
    assert.deepEqual(await page.evaluate(rows), [...native.files.keys()]);
    const cells = await page.evaluate(() => Array.from(document.querySelectorAll('#files td.number'), (cell) => cell.textContent));
    assert.deepEqual(cells, [...native.files.values()].flatMap((b) => [b.length.toLocaleString('en'), String(b.length / 1024)]));
    await noViolation('after a run');
    // Show bytes of the fifth file: the whole of it, in sight, with the focus.
    await page.click('#files tbody tr:nth-child(5) button');
    assert.deepEqual((await page.evaluate(text, '#hex')).split('\n').map((line) => line.slice(0, 58).trimEnd()),
      hexLines(native.files.get('ZK004')));
    assert.ok(await page.evaluate(() => document.activeElement.id === 'hex' &&
      document.getElementById('hex').getBoundingClientRect().top < window.innerHeight));
    for (const [name, bytes] of native.files) {
      assert.ok((await page.download(`#files button[aria-label="Download ${name}"]`)).equals(bytes), name);
    }
    checkZip(await page.download('#download-all'), native.files, path.join(work, 'one.zip'));

    // Several images, one with a hostile name: a folder each, and the name stays text.
    const hostile = '<img src=x onerror="window.hacked=1">.d88';
    await page.choose([copy('a.d88'), copy(hostile)]);
    await done();
    const folders = new Map(['a/', '_img src=x onerror=_window.hacked=1__/'].flatMap((folder) =>
      [...native.files].map(([name, bytes]) => [folder + name, bytes])));
    assert.deepEqual(await page.evaluate(rows), [...folders.keys()]);
    assert.ok(await page.evaluate(() => !window.hacked && !document.querySelector('main img')));
    checkZip(await page.download('#download-all'), folders, path.join(work, 'two.zip'));

    // Forty images, the last one gone by its turn: the program's message for it. Then stopped
    // during a run, and replaced by a newer choice during the next.
    const many = Array.from({ length: 40 }, (_, i) => copy(`many${i}.d88`));
    await page.choose([...many, copy('gone.d88')]);
    fs.rmSync(path.join(work, 'gone.d88'));
    assert.ok(await page.evaluate(() => !document.getElementById('run').hidden));
    await noViolation('during a run');
    await done();
    assert.equal(await page.evaluate(text, '#status'), '41 images: 320 chunk files.');
    assert.deepEqual(await page.evaluate(messages), ['gone.d88: ファイルをオープンできません The file cannot be opened.']);
    await page.choose(many);
    await page.click('#stop');
    assert.match(await page.evaluate(text, '#status'), /^Stopped vornix on many\d+\.d88 after \d+\.\d s; \d+ more images? not run\.$/);
    await page.choose(many);
    await page.choose([copy('newer.d88')]);
    await done();
    assert.equal(await page.evaluate(text, '#status'), 'newer.d88: 8 chunk files.');
    assert.deepEqual(await page.evaluate(rows), [...native.files.keys()]);

    // No D88 header: the program says nothing, the page says what it saw.
    fs.writeFileSync(path.join(work, 'notes.txt'), 'just text\n'.repeat(100));
    await page.choose([path.join(work, 'notes.txt')]);
    await done();
    assert.deepEqual(await page.evaluate(messages), ['notes.txt: no D88 disk header was recognised at its start, so it is probably not a D88 image.']);
    await noViolation('with a note');
    // A folder, where the driver can give one (Firefox's refuses one; WebKit's gives an empty File).
    if (page.folders) {
      await page.choose([work]);
      await done();
      assert.deepEqual(await page.evaluate(messages), ['ファイルをオープンできません The file cannot be opened.']);
      assert.ok(await page.evaluate(() => document.getElementById('results').hidden));
      await noViolation('with the program\'s message');
    }
    // Blobs are the page's own memory (the worker's source, the downloads), data: addresses
    // their own content.
    assert.deepEqual((page.requests || []).filter((url) => !/^(blob|data):/.test(url)), [], 'requests after load');

    // From a server that logs what it is asked for: nothing after load.
    await page.open(`http://127.0.0.1:${server.address().port}/index.html`);
    const loaded = log.length;
    await page.choose([path.join(nativeDir, 'demo.d88')]);
    await done();
    await page.click('#files tbody button');
    checkZip(await page.download('#download-all'), native.files, path.join(work, 'served.zip'));
    assert.deepEqual(log.slice(loaded), [], 'requests after load');

    // Without vornix.js, as when only index.html is taken out of the zip.
    fs.mkdirSync(path.join(work, 'alone'));
    fs.copyFileSync(path.join(pageDir, 'index.html'), path.join(work, 'alone', 'index.html'));
    fs.copyFileSync(path.join(pageDir, 'app.js'), path.join(work, 'alone', 'app.js'));
    await page.open('file://' + path.join(work, 'alone', 'index.html'));
    await page.choose([path.join(nativeDir, 'demo.d88')]);
    await waitFor(() => document.getElementById('problem').textContent.includes('Unpack the whole zip'), 'the message');
    console.log(`web.page.${engine}: the page listed, showed and downloaded the native files byte for byte`);
  } finally {
    await page.close();
    server.close();
    fs.rmSync(work, { recursive: true, force: true });
  }
})().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
