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
const lacking = nativeMissing(nativeDir) || missing(engine) ||
  (['unzip', '7z', 'python3'].every((tool) => spawnSync(tool, ['--help']).error === undefined) ? '' : "needs Debian's unzip, p7zip-full and python3");
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

// The zip as Info-ZIP's unzip (every CRC), Python's zipfile and 7-Zip read it: the same names,
// the expected bytes under each, each entry dated 1980-01-01 00:00 with its name flagged UTF-8.
const UTF8 = { env: { ...process.env, LC_ALL: 'C.UTF-8' } };
function checkZip(bytes, expected, file) {
  fs.writeFileSync(file, bytes);
  assert.equal(spawnSync('unzip', ['-tq', file]).status, 0, 'unzip -t');
  const names = [...expected.keys()].sort();
  assert.deepEqual(spawnSync('unzip', ['-Z1', file], UTF8).stdout.toString().trim().split('\n').sort(), names, 'unzip');
  assert.deepEqual(spawnSync('7z', ['l', '-slt', file], UTF8).stdout.toString().match(/^Path = .*$/gm).slice(1).map((line) => line.slice(7)).sort(), names, '7z');
  const python = spawnSync('python3', ['-c', `import json, sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
print(json.dumps([[i.filename, i.flag_bits & 0x800, i.date_time, z.read(i).hex()] for i in z.infolist()]))`, file], { maxBuffer: 1 << 30 });
  const entries = JSON.parse(python.stdout.toString());
  assert.deepEqual(entries.map(([name]) => name).sort(), names, 'zipfile');
  for (const [name, flag, date, data] of entries) {
    assert.deepEqual([flag, date, data], [/^[ -~]*$/.test(name) ? 0 : 0x800, [1980, 1, 1, 0, 0, 0], expected.get(name).toString('hex')], name);
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
  let locale;
  const until = async (check, what) => {
    for (let i = 0; i < 400; i++) {
      if (await page.evaluate(check)) return;
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
    assert.fail(`${what} took over 20 s: ${await page.evaluate(() => document.body.innerText.slice(0, 600))}`);
  };
  const done = () => until(() => document.getElementById('run').hidden && document.getElementById('status').textContent, 'the run');
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
  const listed = (folder = '') => [...native.files].map(([name, bytes]) => [folder + name, bytes.length.toLocaleString(locale), String(bytes.length / 1024)]);
  const inFolders = (folders) => new Map(folders.flatMap((f) => [...native.files].map(([n, b]) => [f + n, b])));
  // A copy of the page with one of its files edited, as a damaged or hostile setting would.
  const variant = (name, file, edit) => {
    fs.mkdirSync(path.join(work, name));
    for (const each of fs.readdirSync(pageDir)) fs.copyFileSync(path.join(pageDir, each), path.join(work, name, each));
    fs.writeFileSync(path.join(work, name, file), edit(fs.readFileSync(path.join(pageDir, file), 'utf8')));
    return 'file://' + path.join(work, name, 'index.html');
  };
  try {
    await page.open('file://' + path.resolve(pageDir, 'index.html'));
    await noViolation('before a run');
    // Counts have the separators of the language the browser says its user reads (German in
    // Firefox), or of the engine's default where it names none.
    locale = await page.evaluate(() => (/^[a-z]{2,3}(-|$)/i.test(navigator.language) ? navigator.language : Intl.NumberFormat().resolvedOptions().locale));
    assert.match(await page.evaluate(text, '#version'), /^vornix \d+\.\d+\.\d+$/);
    // The name of every file handed to the browser to save.
    await page.evaluate(() => {
      window.saved = [];
      document.addEventListener('click', (event) => event.target.download && window.saved.push(event.target.download), true);
    });
    await page.choose([demo]);
    await done();
    assert.equal(await status(), 'demo.d88: 8 chunk files.');
    assert.deepEqual(await page.evaluate(rows), listed());
    await noViolation('after a run');
    // Show bytes of the fifth file: the whole of it, in sight, with the focus.
    await page.click('#files tbody tr:nth-child(5) button');
    await until(() => document.getElementById('viewer-name').textContent === 'ZK004', 'the hex view');
    const zk004 = native.files.get('ZK004');
    assert.deepEqual((await page.evaluate(text, '#hex')).split('\n'), hexLines(zk004));
    assert.equal((await page.evaluate(text, '#viewer-heading')).replace(/\s+/g, ' '), `Bytes of ZK004 (${zk004.length.toLocaleString(locale)} bytes)`);
    assert.ok(await page.evaluate(() => document.activeElement.id === 'hex' && document.getElementById('hex').getBoundingClientRect().top < innerHeight));
    for (const [name, bytes] of native.files) assert.ok((await page.download(`#files button[aria-label="Download ${name}"]`)).equals(bytes), name);
    checkZip(await page.download('#download-all'), native.files, path.join(work, 'one.zip'));
    assert.deepEqual(await page.evaluate(() => window.saved), [...[...native.files.keys()].map((name) => 'demo-' + name), 'demo-chunks.zip']);

    // The bench's 64-disk image, 780 files read across many MiB (in WebKit from file://, copied).
    assert.equal(spawnSync(path.join(nativeDir, 'bench/make_bench_images'), [work]).status, 0, 'make_bench_images');
    const big = nativeRun(nativeDir, path.join(work, 'big.d88'));
    await page.choose([path.join(work, 'big.d88')]);
    await done();
    assert.deepEqual((await page.evaluate(rows)).map(([name]) => name), [...big.files.keys()]);
    checkZip(await page.download('#download-all'), big.files, path.join(work, 'big.zip'));

    // Images whose names would make unsafe or clashing folders: each gets one of its own, a
    // single path component unique whatever the case; a hostile name stays text.
    const names = ['a.d88', 'a.img', '<img src=x onerror="window.hacked=1">.d88', '...d88', 'DEMO.D88', 'demo.d88', 'ディスク.d88', 'con.d88', ' x. .d88', '&amp;.d88', 'long'.repeat(30) + '.d88'];
    const folders = ['a/', 'a-2/', '_img src=x onerror=_window.hacked=1__/', 'image/', 'DEMO/', 'demo-2/', 'ディスク/', '_con/', 'x/', '&amp;/', 'long'.repeat(30) + '/'];
    await page.choose(names.map(copy));
    await done();
    assert.equal(await status(), '11 images: 88 chunk files.');
    assert.deepEqual(await page.evaluate(rows), folders.flatMap((folder) => listed(folder)));
    assert.ok(await page.evaluate(() => !window.hacked && !document.querySelector('main img')));
    // A phone's width (MiniBrowser's window, with its toolbar, is never narrower than 447 px):
    // the long name wraps, nothing scrolls sideways.
    await page.click(`#files button[aria-label="Show bytes of ${folders.at(-1)}ZK000"]`);
    await until(() => document.getElementById('viewer-name').textContent.startsWith('long'), 'the hex view');
    await page.resize(320);
    assert.deepEqual(await page.evaluate(() => [innerWidth, document.documentElement.scrollWidth <= innerWidth]), [engine === 'webkit' ? 447 : 320, true]);
    await page.resize(1000);
    checkZip(await page.download('#download-all'), inFolders(folders), path.join(work, 'names.zip'));
    await page.download('#files button[aria-label="Download ディスク/ZK007"]');
    assert.equal(await page.evaluate(() => window.saved.pop()), 'ディスク-ZK007');

    // Dropped anywhere: the demo with zeros up to 3 MiB (sparse), and a file of text whose name
    // is markup, which stays text.
    const sparse = copy('sparse.d88');
    fs.truncateSync(sparse, 3 << 20);
    await page.evaluate((bytes) => {
      const drop = new DataTransfer();
      drop.items.add(new File([Uint8Array.from(atob(bytes), (c) => c.charCodeAt(0))], 'sparse.d88'));
      drop.items.add(new File(['just text\n'], '<i>notes</i>.txt'));
      document.body.dispatchEvent(new DragEvent('dragover', { bubbles: true, cancelable: true, dataTransfer: drop }));
      document.body.dispatchEvent(new DragEvent('drop', { bubbles: true, cancelable: true, dataTransfer: drop }));
    }, fs.readFileSync(sparse).toString('base64'));
    await done();
    assert.equal((await page.evaluate(rows)).join('\n'), listed('sparse/').join('\n'));
    assert.deepEqual(nativeRun(nativeDir, sparse).files, native.files);
    assert.deepEqual(await page.evaluate(messages), ['<i>notes</i>.txt: no D88 disk header was recognised at its start, so it is probably not a D88 image.']);
    assert.equal(await status(), '2 images: 8 chunk files; <i>notes</i>.txt is probably not a D88 image, see the notes.');
    assert.ok(await page.evaluate(() => !document.getElementById('drop').classList.contains('over') && !document.querySelector('main i')));
    await noViolation('with a note');

    // Forty images and one gone by its turn; then stopped during a run, the list, the count and
    // the zip alike, the focus back on the picker.
    const many = Array.from({ length: 40 }, (_, i) => copy(`many${i}.d88`));
    await page.choose([...many, copy('gone.d88')]);
    fs.rmSync(path.join(work, 'gone.d88'));
    assert.match(await page.evaluate(text, '#run'), new RegExp(`^Running on many\\d+\\.d88 \\(${fs.statSync(demo).size.toLocaleString(locale)} bytes\\) for \\d\\.\\d s\\s+Stop$`));
    await noViolation('during a run');
    await done();
    assert.equal(await status(), '41 images: 320 chunk files; vornix reported a problem with gone.d88, shown under Messages.');
    assert.deepEqual(await page.evaluate(messages), [`gone.d88: ${OPEN_FAILURE}`]);
    await page.choose(many);
    await until(() => document.querySelectorAll('#files tbody tr').length > 0, 'the first rows');
    await page.click('#stop');
    const stopped = (await status()).match(/^Stopped vornix on many\d+\.d88 after \d\.\d s; \d+ more images? not run\. Listed: (\d+) chunk files\.$/);
    assert.ok(stopped, await status());
    assert.ok(await page.evaluate(() => document.activeElement.id === 'image'));
    const kept = await page.evaluate(rows);
    assert.equal(kept.length, Number(stopped[1]));
    checkZip(await page.download('#download-all'), new Map(kept.map(([name]) => [name, native.files.get(name.slice(-5))])), path.join(work, 'stopped.zip'));
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
    await until(() => document.activeElement.id === 'hex', 'the hex view');
    checkZip(await page.download('#download-all'), native.files, path.join(work, 'served.zip'));
    assert.deepEqual(log.slice(loaded), [], 'requests after load');
    // The dark scheme in every engine: its rules made the page's only ones, the engine's own
    // controls and page dark too (served, as a page from file:// may not read its style sheet).
    await page.evaluate(() => {
      for (const rule of document.styleSheets[0].cssRules) if (/prefers-color-scheme/.test(rule.media && rule.media.mediaText)) rule.media.mediaText = 'all';
      document.documentElement.style.colorScheme = 'dark';
    });
    assert.equal(await page.evaluate(() => getComputedStyle(document.body).backgroundColor), 'rgb(18, 18, 18)');
    await noViolation('in the dark scheme');

    // A worker busy for ever on one image: the watchdog ends it and the next image runs; a
    // newer choice does not wait on it.
    await page.open(variant('hang', 'vornix.js', (source) => source +
      'vornixWorkerSource += "\\nconst real = onmessage; onmessage = (e) => { if (e.data.name === \'hang.d88\') for (;;); real(e); };";\n'));
    await page.choose([copy('hang.d88')]);
    await page.choose([demo]);
    await done();
    assert.equal(await status(), 'demo.d88: 8 chunk files.');
    await page.choose([copy('hang.d88'), demo]);
    await done();
    assert.equal(await status(), '2 images: 8 chunk files; vornix could not finish on hang.d88, see the notes.');
    assert.match((await page.evaluate(messages)).join('\n'), /^hang\.d88: vornix could not finish \(it stopped answering for 10 s\)/);
    // A policy that forbids the worker, and a damaged program: each named, and the page still free.
    for (const [url, problem] of [[variant('csp', 'index.html', (html) => html.replace('worker-src blob:', "worker-src 'self'")), /^This browser would not start the Web Worker the program runs in \(.+\)\. A Content-Security-Policy/],
      [variant('damaged', 'vornix.js', (source) => source + 'vornixWasm = btoa("not a program");\n'), /^The program in vornix\.js is damaged: this browser could not compile its WebAssembly \(.+\)/]]) {
      await page.open(url);
      await page.choose([demo]);
      await until(() => !document.getElementById('problem').hidden, 'the problem');
      assert.match(await page.evaluate(text, '#problem'), problem);
      assert.ok(await page.evaluate(() => document.getElementById('run').hidden));
    }

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
