// The page around vornix compiled to WebAssembly. vornix.js gives the program's module
// (vornixWasm), compiled here once, and the source of the Web Worker that runs it
// (vornixWorkerSource). Each image runs in that worker, in a fresh instance of the program, so
// the page never waits on it; the page shows what the program printed and the files it wrote,
// and nothing else but a note where the worker found no D88 disk header.
'use strict';
/* global vornixWasm, vornixWorkerSource, vornixVersion */

(() => {
  // The program's open-failure message, "the file cannot be opened", which it writes in
  // Shift-JIS whatever the terminal.
  const OPEN_FAILURE = 'ファイルをオープンできません';
  const BLOCK_SIZE = 1024;
  const PIECE = 1 << 20;
  const ROWS_AT_ONCE = 100;
  const UNPACK_FIRST = 'The page could not load vornix.js, the program itself, which belongs in the same ' +
    'folder as this page. Unpack the whole zip into a folder first (not only index.html), then ' +
    'open index.html from that folder.';

  const OLD_BROWSER = 'This browser could not start the program, which needs WebAssembly and Web ' +
    'Workers: try a current Chrome, Edge, Firefox or Safari.';

  const $ = (id) => document.getElementById(id);
  let compiling = null;
  let workerUrl = null;
  let worker = null;
  let results = [];
  let queue = [];
  let running = null;
  let runNumber = 0;
  let timer = 0;

  const plural = (count, one) => count + ' ' + one + (count === 1 ? '' : 's');
  const thousands = (count) => String(count).replace(/\B(?=(\d{3})+$)/g, ',');
  const byteCount = (count) => thousands(count) + (count === 1 ? ' byte' : ' bytes');
  const seconds = (from) => ((performance.now() - from) / 1000).toFixed(1) + ' s';

  function showProblem(text) {
    $('problem').textContent = text;
    $('problem').hidden = text === '';
  }

  function download(name, blob) {
    const link = document.createElement('a');
    link.href = URL.createObjectURL(blob);
    link.download = name;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  }

  // A zip of the files stored byte for byte, every one dated 1980-01-01 00:00, so that the same
  // files always give the same zip.
  const CRC_TABLE = (() => {
    const table = new Uint32Array(256);
    for (let n = 0; n < 256; n++) {
      let c = n;
      for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
      table[n] = c >>> 0;
    }
    return table;
  })();

  function crc32(bytes) {
    let c = 0xffffffff;
    for (const byte of bytes) c = CRC_TABLE[(c ^ byte) & 0xff] ^ (c >>> 8);
    return (c ^ 0xffffffff) >>> 0;
  }

  // The fields a local header (at 4) and a central one (at 6) share: version, flags, method,
  // time, date, CRC, sizes, name length.
  function commonFields(view, at, name, entry, crc) {
    view.setUint16(at, 20, true);
    view.setUint16(at + 8, (1 << 5) | 1, true);
    view.setUint32(at + 10, crc, true);
    view.setUint32(at + 14, entry.bytes.length, true);
    view.setUint32(at + 18, entry.bytes.length, true);
    view.setUint16(at + 22, name.length, true);
  }

  function zipStored(entries) {
    const parts = [];
    const directory = [];
    let offset = 0;
    let directorySize = 0;
    for (const entry of entries) {
      const name = new TextEncoder().encode(entry.path);
      const crc = crc32(entry.bytes);
      const local = new DataView(new ArrayBuffer(30));
      local.setUint32(0, 0x04034b50, true);
      commonFields(local, 4, name, entry, crc);
      parts.push(local, name, entry.bytes);
      const central = new DataView(new ArrayBuffer(46));
      central.setUint32(0, 0x02014b50, true);
      central.setUint16(4, 20, true);
      commonFields(central, 6, name, entry, crc);
      central.setUint32(42, offset, true);
      directory.push(central, name);
      offset += 30 + name.length + entry.bytes.length;
      directorySize += 46 + name.length;
    }
    const end = new DataView(new ArrayBuffer(22));
    end.setUint32(0, 0x06054b50, true);
    end.setUint16(8, entries.length, true);
    end.setUint16(10, entries.length, true);
    end.setUint32(12, directorySize, true);
    end.setUint32(16, offset, true);
    return new Blob([...parts, ...directory, end], { type: 'application/zip' });
  }

  function hexView(bytes) {
    const lines = [];
    for (let at = 0; at < bytes.length; at += 16) {
      const row = Array.from(bytes.subarray(at, at + 16));
      const hex = row.map((b) => b.toString(16).padStart(2, '0')).join(' ');
      const ascii = row.map((b) => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : '.')).join('');
      lines.push(at.toString(16).padStart(8, '0') + '  ' + hex.padEnd(48) + '  ' + ascii);
    }
    return lines.join('\n');
  }

  function showFile(file, moveFocus) {
    $('viewer-name').textContent = file.path;
    $('viewer-size').textContent = byteCount(file.bytes.length);
    $('hex').textContent = hexView(file.bytes);
    $('viewer').hidden = false;
    if (moveFocus) {
      $('viewer').scrollIntoView({ block: 'start' });
      $('hex').focus({ preventScroll: true });
    }
  }

  function button(text, label, action) {
    const element = document.createElement('button');
    element.type = 'button';
    element.textContent = text;
    element.setAttribute('aria-label', label);
    element.addEventListener('click', action);
    return element;
  }

  const allFiles = () => results.flatMap((result) => result.files);

  function showResults() {
    const list = $('message-list');
    const notes = $('notes');
    list.replaceChildren();
    notes.replaceChildren();
    const several = results.length > 1;
    for (const result of results) {
      for (const line of result.messages) {
        const item = document.createElement('li');
        if (several) item.append(result.name + ': ');
        if (new TextDecoder('shift_jis').decode(line) === OPEN_FAILURE) {
          const japanese = document.createElement('span');
          japanese.lang = 'ja';
          japanese.textContent = OPEN_FAILURE;
          item.append(japanese, ' The file cannot be opened.');
        } else {
          item.append(new TextDecoder().decode(line));
        }
        list.append(item);
      }
      if (result.note) {
        const note = document.createElement('li');
        note.textContent = result.note;
        notes.append(note);
      }
    }
    $('messages').hidden = list.children.length === 0 && notes.children.length === 0;
    $('message-list').hidden = list.children.length === 0;
    $('notes-part').hidden = notes.children.length === 0;
  }

  // Rows are added a few hundred at a time, so that a long list never holds up the page.
  async function appendRows(files, thisRun) {
    for (let start = 0; start < files.length && thisRun === runNumber; start += ROWS_AT_ONCE) {
      const rows = document.createDocumentFragment();
      for (const file of files.slice(start, start + ROWS_AT_ONCE)) {
        const row = document.createElement('tr');
        row.insertCell().textContent = file.path;
        const size = row.insertCell();
        size.className = 'number';
        size.textContent = thousands(file.bytes.length);
        const blocks = row.insertCell();
        blocks.className = 'number';
        blocks.textContent = String(file.bytes.length / BLOCK_SIZE);
        row.insertCell().append(
          button('Show bytes', 'Show bytes of ' + file.path, () => showFile(file, true)),
          button('Download', 'Download ' + file.path,
            () => download(file.name, new Blob([file.bytes], { type: 'application/octet-stream' }))));
        rows.append(row);
      }
      $('files').tBodies[0].append(rows);
      $('results').hidden = false;
      // A frame drawn between batches, so that each one is laid out on its own; a hidden page
      // draws none, and goes on after a tenth of a second.
      await new Promise((resolve) => {
        requestAnimationFrame(() => setTimeout(resolve, 0));
        setTimeout(resolve, 100);
      });
    }
  }

  function summary() {
    const count = plural(allFiles().length, 'chunk file');
    if (results.length !== 1) return plural(results.length, 'image') + ': ' + count + '.';
    const [result] = results;
    return result.name + ': ' + count + (result.status === 0 ? '.' :
      '; vornix reported a problem, shown under Messages.');
  }

  function setRunning(item) {
    clearInterval(timer);
    running = item;
    $('run').hidden = item === null;
    if (item === null) return;
    item.started = performance.now();
    $('run-name').textContent = item.name + (item.isFolder ? '' : ' (' + byteCount(item.size) + ')');
    $('elapsed').textContent = '0.0 s';
    timer = setInterval(() => { $('elapsed').textContent = seconds(item.started); }, 100);
  }

  function stopWorker() {
    if (worker) worker.terminate();
    worker = null;
  }

  // A folder name in the zip for each of several images: the image's name without its
  // extension, made unique.
  function folderFor(name) {
    const base = name.replace(/\.[^.]*$/, '').replace(/[\\/:*?"<>|\x00-\x1f]/g, '_') || 'image';
    let folder = base;
    for (let n = 2; results.some((result) => result.folder === folder); n++) folder = base + '-' + n;
    return folder;
  }

  // The runner's answer; one that is stopped meanwhile never answers.
  function answer(runner, message, transfer = []) {
    return new Promise((resolve) => {
      runner.onmessage = (event) => resolve(event.data);
      runner.onerror = (event) => {
        event.preventDefault();
        resolve({ failure: event.message || 'the worker stopped' });
      };
      runner.postMessage(message, transfer);
    });
  }

  async function runNext(thisRun, module) {
    const item = queue.shift();
    if (!item) {
      setRunning(null);
      $('status').textContent = summary();
      performance.mark('vornix-listed');
      return;
    }
    setRunning(item);
    $('status').textContent = 'Running vornix on ' + item.name + '…';
    if (!worker) worker = new Worker(workerUrl);
    const runner = worker;
    const message = { module, name: item.name, isFolder: item.isFolder };
    let result = await answer(runner, { ...message, image: item.isFolder ? null : { file: item.file, size: item.size } });
    if (result.unreadable) {
      const pieces = await copyOf(item.file, item.size, thisRun);
      result = await answer(runner, { ...message, image: pieces && { pieces, size: item.size }, asIs: true },
        (pieces || []).filter(Boolean));
    }
    if (thisRun !== runNumber) return;
    if (result.failure) {
      stopWorker();
      fail('vornix stopped unexpectedly on ' + item.name + ' (' + result.failure + '). Reload the ' +
        'page and choose the image again; if that fails too, run the program on it from the command line.');
      return;
    }
    const folder = queue.length > 0 || results.length > 0 ? folderFor(item.name) : '';
    const files = result.files.map((file) => ({ name: file.name, bytes: file.bytes, path: folder ? folder + '/' + file.name : file.name }));
    const note = result.recognised ? '' : item.name + ': no D88 disk header was recognised at its start, ' +
      'so it is probably not a D88 image.';
    results.push({ name: item.name, folder, status: result.status, files, messages: result.messages, note });
    showResults();
    if (results.length === 1 && files.length > 0) showFile(files[0], false);
    await appendRows(files, thisRun);
    if (thisRun === runNumber) runNext(thisRun, module);
  }

  // The File in memory, in 1 MiB pieces, for a worker that may not read it where it lies (WebKit
  // from file://); a piece of zeros is left out (null), so that a sparse image takes no memory.
  // Null where the page cannot read the File either, gets fewer bytes than it had when chosen,
  // or the run is stopped.
  async function copyOf(file, size, thisRun) {
    try {
      const pieces = [];
      let got = 0;
      for (let at = 0; at < size && thisRun === runNumber; at += PIECE) {
        const piece = await file.slice(at, at + PIECE).arrayBuffer();
        const zeros = piece.byteLength === PIECE && new Int32Array(piece).every((word) => word === 0);
        pieces.push(zeros ? null : piece);
        got += piece.byteLength;
      }
      return got === size ? pieces : null;
    } catch (error) {
      return null;
    }
  }

  function fail(text) {
    setRunning(null);
    queue = [];
    $('status').textContent = '';
    showProblem(text);
  }

  // Runs each image in turn, replacing what was shown and stopping any run under way.
  function runImages(items) {
    const thisRun = ++runNumber;
    stopWorker();
    results = [];
    $('files').tBodies[0].replaceChildren();
    $('results').hidden = true;
    // Each File's size as it is now: a file changed or gone later then cannot pass for whole.
    queue = items.map((item) => ({ ...item, size: item.isFolder ? 0 : item.file.size }));
    showResults();
    showProblem('');
    $('viewer').hidden = true;
    if (!compiling) {
      fail(typeof vornixWorkerSource === 'string' ? OLD_BROWSER : UNPACK_FIRST);
      return;
    }
    compiling.then((module) => runNext(thisRun, module), () => fail(OLD_BROWSER));
  }

  function stop() {
    if (!running) return;
    runNumber++;
    stopWorker();
    const { name, started } = running;
    const rest = queue.length;
    queue = [];
    setRunning(null);
    $('status').textContent = 'Stopped vornix on ' + name + ' after ' + seconds(started) +
      (rest > 0 ? '; ' + plural(rest, 'more image') + ' not run.' : '.');
  }

  // Compiled once for the page; each image gets a fresh instance of it in the worker.
  if (typeof vornixWasm === 'string' && typeof vornixWorkerSource === 'string') {
    $('version').textContent = 'vornix ' + vornixVersion;
    try {
      workerUrl = URL.createObjectURL(new Blob([vornixWorkerSource], { type: 'text/javascript' }));
      const bytes = Uint8Array.from(atob(vornixWasm), (c) => c.charCodeAt(0));
      compiling = WebAssembly.compile(bytes);
    } catch (error) {
      compiling = null;
    }
  } else {
    showProblem(UNPACK_FIRST);
  }

  $('image').addEventListener('change', (event) => {
    const picked = Array.from(event.target.files);
    // The benchmark measures from here to the list shown.
    performance.mark('vornix-chosen');
    // Cleared, so that the same file chosen again is a change too.
    event.target.value = '';
    if (picked.length > 0) runImages(picked.map((file) => ({ name: file.name, file, isFolder: false })));
  });
  $('stop').addEventListener('click', stop);
  $('download-all').addEventListener('click', () => {
    const base = results.length === 1 ? results[0].name.replace(/\.[^.]*$/, '') || 'vornix' : 'vornix';
    download(base + '-chunks.zip', zipStored(allFiles()));
  });
  // A file dropped anywhere on the page is taken, never left to the browser to open or save.
  const drop = $('drop');
  document.addEventListener('dragover', (event) => {
    event.preventDefault();
    drop.classList.add('over');
  });
  document.addEventListener('dragleave', (event) => {
    if (event.relatedTarget === null) drop.classList.remove('over');
  });
  document.addEventListener('drop', (event) => {
    event.preventDefault();
    drop.classList.remove('over');
    const items = Array.from(event.dataTransfer.items || []);
    const files = Array.from(event.dataTransfer.files);
    // A folder gets what the program says of a folder: that it cannot be opened.
    const images = files.map((file, i) => {
      const entry = items[i] && items[i].webkitGetAsEntry ? items[i].webkitGetAsEntry() : null;
      return { name: file.name, file, isFolder: Boolean(entry && entry.isDirectory) };
    });
    $('image').value = '';
    if (images.length > 0) runImages(images);
  });
})();
