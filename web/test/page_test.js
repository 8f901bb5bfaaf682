// The page in one engine, the same checks whatever the engine, from file:// and from a local
// server that logs every request: the demo image's files as the native build writes them, in
// the list, the hex view, the downloads and the zip; several images, Stop, a newer choice,
// messages and notes; axe-core; no request after load; a missing vornix.js explained.
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
const lacking = nativeMissing(nativeDir) || missing(engine) || (spawnSync('unzip', ['-v']).status === 0 ? '' : "needs Debian's unzip");
if (lacking) {
  console.error(`web.page.${engine} ${lacking}`);
  process.exit(1);
}
const demo = path.join(nativeDir, 'demo.d88');
const OPEN_FAILURE = 'ファイルをオープンできません The file cannot be opened.';
const text = (selector) => document.querySelector(selector).textContent;
const rows = () => Array.from(document.querySelectorAll('#files tbody tr'), (row) => Array.from(row.cells, (cell) => cell.textContent).slice(0, 3));
const messages = () => Array.from(document.querySelectorAll('#messages li'), (item) => item.textContent);
const hexLines = (bytes) => Array.from({ length: Math.ceil(bytes.length / 16) }, (_, i) => bytes.subarray(i * 16, i * 16 + 16)).map((row, i) =>
  `${(i * 16).toString(16).padStart(8, '0')}  ${row.toString('hex').match(/../g).join(' ').padEnd(48)}  ${row.toString('latin1').replace(/[^\x20-\x7e]/g, '.')}`);

// Every CRC by unzip -t; both headers of each entry alike; the entries the expected bytes.
function checkZip(bytes, expected, file) {
  fs.writeFileSync(file, bytes);
  assert.equal(spawnSync('unzip', ['-tq', file]).status, 0, 'unzip -t');
  const end = bytes.lastIndexOf(Buffer.from('PK\x05\x06'));
  assert.deepEqual([bytes.readUInt16LE(end + 8), bytes.readUInt16LE(end + 10)], [expected.size, expected.size]);
  for (let i = 0, at = bytes.readUInt32LE(end + 16); i < expected.size; i++, at += 46 + bytes.readUInt16LE(at + 28)) {
    const name = bytes.subarray(at + 46, at + 46 + bytes.readUInt16LE(at + 28)).toString();
    const local = bytes.readUInt32LE(at + 42);
    assert.deepEqual(bytes.subarray(local, local + 30), Buffer.concat([Buffer.from('PK\x03\x04'), bytes.subarray(at + 6, at + 32)]), name);
    const data = local + 30 + bytes.readUInt16LE(at + 28);
    assert.ok(bytes.subarray(data, data + bytes.readUInt32LE(at + 24)).equals(expected.get(name)), name);
  }
}

(async () => {
  const native = nativeRun(nativeDir, demo);
  const work = fs.mkdtempSync(path.join(os.tmpdir(), `vornix-page-${engine}-`));
  const log = [];
  const server = http.createServer((request, response) => {
    log.push(request.url);
    fs.readFile(path.join(pageDir, path.basename(request.url)), (error, body) => response.end(error ? '' : body));
  }).listen(0, '127.0.0.1');
  const page = await launch(engine, work);
  const done = async () => {
    for (let i = 0; i < 300; i++) {
      if (await page.evaluate(() => document.getElementById('run').hidden && document.getElementById('status').textContent)) return;
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
    assert.fail(`the run took over 15 s: ${await page.evaluate(() => document.body.innerText.slice(0, 600))}`);
  };
  const status = () => page.evaluate(text, '#status');
  const noViolation = async (when) => {
    if (!await page.evaluate(() => Boolean(window.axe))) await page.script(fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8'));
    assert.deepEqual(await page.evaluate(async () => (await window.axe.run({ preload: false })).violations
      .map((v) => `${v.id}: ${v.nodes.map((n) => n.target).join(' ')}`)), [], `axe-core ${when}`);
  };
  const copy = (name) => {
    fs.copyFileSync(demo, path.join(work, name));
    return path.join(work, name);
  };
  const listed = (folder = '') => [...native.files].map(([name, bytes]) => [folder + name, bytes.length.toLocaleString('en'), String(bytes.length / 1024)]);
  try {
    await page.open('file://' + path.resolve(pageDir, 'index.html'));
    await noViolation('before a run');
    assert.match(await page.evaluate(text, '#version'), /^vornix \d+\.\d+\.\d+$/);
    await page.choose([demo]);
    await done();
    assert.equal(await status(), 'demo.d88: 8 chunk files.');
    assert.deepEqual(await page.evaluate(rows), listed());
    await noViolation('after a run');
    // Show bytes of the fifth file: the whole of it, in sight, with the focus.
    await page.click('#files tbody tr:nth-child(5) button');
    const zk004 = native.files.get('ZK004');
    assert.deepEqual((await page.evaluate(text, '#hex')).split('\n'), hexLines(zk004));
    assert.equal((await page.evaluate(text, '#viewer-heading')).replace(/\s+/g, ' '), `Bytes of ZK004 (${zk004.length.toLocaleString('en')} bytes)`);
    assert.ok(await page.evaluate(() => document.activeElement.id === 'hex' && document.getElementById('hex').getBoundingClientRect().top < innerHeight));
    for (const [name, bytes] of native.files) assert.ok((await page.download(`#files button[aria-label="Download ${name}"]`)).equals(bytes), name);
    checkZip(await page.download('#download-all'), native.files, path.join(work, 'one.zip'));

    // Three images, two of one name, one hostile: a folder each, and the name stays text.
    await page.choose([copy('a.d88'), copy('a.img'), copy('<img src=x onerror="window.hacked=1">.d88')]);
    await done();
    const folders = ['a/', 'a-2/', '_img src=x onerror=_window.hacked=1__/'];
    assert.deepEqual(await page.evaluate(rows), folders.flatMap((folder) => listed(folder)));
    assert.ok(await page.evaluate(() => !window.hacked && !document.querySelector('main img')));
    checkZip(await page.download('#download-all'), new Map(folders.flatMap((f) => [...native.files].map(([n, b]) => [f + n, b]))), path.join(work, 'two.zip'));

    // Dropped anywhere: the demo with zeros up to 3 MiB (sparse), and a file of text.
    const sparse = copy('sparse.d88');
    fs.truncateSync(sparse, 3 << 20);
    await page.evaluate((bytes) => {
      const drop = new DataTransfer();
      drop.items.add(new File([Uint8Array.from(atob(bytes), (c) => c.charCodeAt(0))], 'sparse.d88'));
      drop.items.add(new File(['just text\n'], 'notes.txt'));
      document.body.dispatchEvent(new DragEvent('dragover', { bubbles: true, cancelable: true, dataTransfer: drop }));
      document.body.dispatchEvent(new DragEvent('drop', { bubbles: true, cancelable: true, dataTransfer: drop }));
    }, fs.readFileSync(sparse).toString('base64'));
    await done();
    assert.equal((await page.evaluate(rows)).join('\n'), listed('sparse/').join('\n'));
    assert.deepEqual(nativeRun(nativeDir, sparse).files, native.files);
    assert.deepEqual(await page.evaluate(messages), ['notes.txt: no D88 disk header was recognised at its start, so it is probably not a D88 image.']);
    assert.ok(await page.evaluate(() => !document.getElementById('drop').classList.contains('over')));
    await noViolation('with a note');

    // Forty images and one gone by its turn; then stopped during a run, and a newer choice
    // replacing the next one.
    const many = Array.from({ length: 40 }, (_, i) => copy(`many${i}.d88`));
    await page.choose([...many, copy('gone.d88')]);
    fs.rmSync(path.join(work, 'gone.d88'));
    assert.match(await page.evaluate(text, '#run'), new RegExp(`^Running on many\\d+\\.d88 \\(${fs.statSync(demo).size.toLocaleString('en')} bytes\\) for \\d\\.\\d s\\s+Stop$`));
    await noViolation('during a run');
    await done();
    assert.equal(await status(), '41 images: 320 chunk files.');
    assert.deepEqual(await page.evaluate(messages), [`gone.d88: ${OPEN_FAILURE}`]);
    await page.choose(many);
    await page.click('#stop');
    assert.match(await status(), /^Stopped vornix on many\d+\.d88 after \d\.\d s; \d+ more images? not run\.$/);
    await page.choose(many);
    await page.choose([copy('newer.d88')]);
    await done();
    assert.equal(await status(), 'newer.d88: 8 chunk files.');
    assert.equal((await page.evaluate(rows)).length, 8);

    if (page.folders) {
      await page.choose([work]);
      await done();
      assert.deepEqual(await page.evaluate(messages), [OPEN_FAILURE]);
      assert.match(await status(), /^vornix-page-chromium-\w+: 0 chunk files; vornix reported a problem, shown under Messages\.$/);
      await noViolation('with the program\'s message');
    }
    // Blobs are the page's own memory (its worker, its downloads); data: addresses hold their content.
    assert.deepEqual((page.requests || []).filter((url) => !/^(blob|data):/.test(url)), [], 'requests after load');

    await page.open(`http://127.0.0.1:${server.address().port}/index.html`);
    const loaded = log.length;
    await page.choose([demo]);
    await done();
    await page.click('#files tbody button');
    checkZip(await page.download('#download-all'), native.files, path.join(work, 'served.zip'));
    assert.deepEqual(log.slice(loaded), [], 'requests after load');

    // Only index.html and app.js, as when index.html alone is taken out of the zip.
    fs.mkdirSync(path.join(work, 'alone'));
    for (const name of ['index.html', 'app.js']) fs.copyFileSync(path.join(pageDir, name), path.join(work, 'alone', name));
    await page.open('file://' + path.join(work, 'alone', 'index.html'));
    await page.choose([demo]);
    assert.match(await page.evaluate(text, '#problem'), /vornix\.js.*Unpack the whole zip into a folder first/);
    console.log(`web.page.${engine}: 1 passed, 0 failed`);
  } finally {
    await page.close();
    server.close();
    fs.rmSync(work, { recursive: true, force: true });
  }
})().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
