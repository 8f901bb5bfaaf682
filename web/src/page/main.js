// The page around vornix compiled to WebAssembly. vornix.js gives the program's module
// (vornixWasm), compiled here once, and the source of the Web Worker that runs it
// (vornixWorkerSource). Each image runs in that worker, in a fresh instance of the program, so
// the page never waits on it; the page shows what the program printed and the files it wrote,
// and nothing else but a note where the worker found no D88 disk header or could not finish.
/* global vornixWasm, vornixWorkerSource, vornixVersion */
import { download } from './download.js';
import { appendRows, showFile, showMessages } from './list.js';
import { downloadName, folderFor } from './names.js';
import { summary } from './status.js';
import { ask, startWorker } from './worker.js';
import { byteCount, plural, seconds } from './words.js';

const PIECE = 1 << 20;
// A run shows how far it has read once it has taken this long.
const LONG_RUN = 1000;
const UNPACK_FIRST = 'The page could not load vornix.js, the program itself, which belongs in the same ' +
  'folder as this page. Unpack the whole zip into a folder first (not only index.html), then ' +
  'open index.html from that folder.';
const OLD_BROWSER = 'This browser could not start the program, which needs WebAssembly and Web ' +
  'Workers: try a current Chrome, Edge, Firefox or Safari.';
const DAMAGED = (error) => 'The program in vornix.js is damaged: this browser could not compile its ' +
  'WebAssembly (' + error + '). Unpack the zip again, or download it again if that fails too.';
const NO_WORKER = (cause) => 'This browser would not start the Web Worker the program runs in (' + cause +
  '). A Content-Security-Policy that forbids workers made from blob: addresses does this; open the ' +
  'page from its own folder or from a server that sends no such policy.';

const $ = (id) => document.getElementById(id);
let compiling = null;
let workerUrl = null;
let worker = null;
let results = [];
let shown = [];
let queue = [];
let running = null;
let runNumber = 0;
let timer = 0;

function showProblem(text) {
  $('problem').textContent = text;
  $('problem').hidden = text === '';
}

function setRunning(item) {
  clearInterval(timer);
  running = item;
  $('run').hidden = item === null;
  if (item === null) return;
  item.started = performance.now();
  item.read = 0;
  $('run-name').textContent = item.name + (item.isFolder ? '' : ' (' + byteCount(item.size) + ')');
  $('elapsed').textContent = '0.0 s';
  $('progress').textContent = '';
  timer = setInterval(() => {
    $('elapsed').textContent = seconds(item.started);
    if (item.size > 0 && performance.now() - item.started > LONG_RUN) {
      $('progress').textContent = ', ' + Math.floor((100 * item.read) / item.size) + ' % read';
    }
  }, 100);
}

function stopWorker() {
  if (worker) worker.terminate();
  worker = null;
}

function fail(text) {
  stopWorker();
  setRunning(null);
  queue = [];
  $('status').textContent = '';
  showProblem(text);
}

// The File sent to the worker in 1 MiB pieces, for a worker that may not read it where it lies
// (WebKit from file://); the worker keeps a piece of zeros as nothing. False where the page
// cannot read the File either, gets fewer bytes than it had when chosen, or the run is stopped.
async function copyTo(runner, item, current) {
  try {
    let got = 0;
    for (let at = 0; at < item.size && current(); at += PIECE) {
      const piece = await item.file.slice(at, at + PIECE).arrayBuffer();
      got += piece.byteLength;
      item.read = got;
      const answer = await ask(runner, { piece, first: at === 0 }, [piece]);
      if (answer.failure) return false;
    }
    return got === item.size;
  } catch (error) {
    return false;
  }
}

async function runOne(item, module, current) {
  const message = { module, name: item.name, isFolder: item.isFolder };
  const progress = (at) => { item.read = at; };
  const result = await ask(worker, { ...message, image: item.isFolder ? null : { file: item.file, size: item.size } }, [], progress);
  if (!result.unreadable) return result;
  const copied = await copyTo(worker, item, current);
  return ask(worker, { ...message, copied, size: item.size, image: null, asIs: true }, [], progress);
}

async function runNext(thisRun, module) {
  const current = () => thisRun === runNumber;
  const item = queue.shift();
  if (!item) {
    setRunning(null);
    $('status').textContent = summary(results, shown);
    performance.mark('vornix-listed');
    return;
  }
  setRunning(item);
  $('status').textContent = 'Running vornix on ' + item.name + '…';
  if (!worker) {
    const started = await startWorker(workerUrl);
    if (!current()) {
      if (started.worker) started.worker.terminate();
      return;
    }
    if (started.failure) {
      fail(NO_WORKER(started.failure));
      return;
    }
    worker = started.worker;
  }
  const result = await runOne(item, module, current);
  if (!current()) return;
  const folder = queue.length > 0 || results.length > 0 ? folderFor(item.name, results.map((r) => r.folder)) : '';
  if (result.failure) {
    // The next image gets a fresh worker.
    stopWorker();
    results.push({ name: item.name, folder, status: 0, files: [], messages: [], failed: true,
      note: item.name + ': vornix could not finish (' + result.failure + '). Choose it again; if that fails too, run ' +
        'the program on it from the command line.' });
  } else {
    const files = result.files.map((file) => ({ ...file, image: item.name, path: folder ? folder + '/' + file.name : file.name }));
    const note = result.recognised ? '' : item.name + ': no D88 disk header was recognised at its start, ' +
      'so it is probably not a D88 image.';
    results.push({ name: item.name, folder, status: result.status, files, messages: result.messages, note, recognised: result.recognised });
  }
  showMessages(results);
  const [first] = results[results.length - 1].files;
  if (results.length === 1 && first) showFile(first, false);
  await appendRows(results[results.length - 1].files, shown, current);
  if (current()) runNext(thisRun, module);
}

// Runs each image in turn, replacing what was shown and stopping any run under way.
function runImages(items) {
  const thisRun = ++runNumber;
  stopWorker();
  results = [];
  shown = [];
  $('files').tBodies[0].replaceChildren();
  $('results').hidden = true;
  // Each File's size as it is now: a file changed or gone later then cannot pass for whole.
  queue = items.map((item) => ({ ...item, size: item.isFolder ? 0 : item.file.size }));
  showMessages(results);
  showProblem('');
  $('viewer').hidden = true;
  if (!compiling) {
    fail(typeof vornixWorkerSource === 'string' ? OLD_BROWSER : UNPACK_FIRST);
    return;
  }
  compiling.then((module) => runNext(thisRun, module), (error) => fail(DAMAGED(error)));
}

// The list and the zip keep the files listed so far; the focus goes back to the picker.
function stop() {
  if (!running) return;
  runNumber++;
  stopWorker();
  const { name, started } = running;
  const rest = queue.length;
  queue = [];
  setRunning(null);
  $('status').textContent = 'Stopped vornix on ' + name + ' after ' + seconds(started) +
    (rest > 0 ? '; ' + plural(rest, 'more image') + ' not run' : '') + '. Listed: ' + plural(shown.length, 'chunk file') + '.';
  $('image').focus();
}

// The zip is built in a worker of its own, so that neither the page nor a run waits on it; the
// page reads the files for it, as WebKit lets no worker of a page from file:// read a Blob.
async function downloadAll() {
  const button = $('download-all');
  const base = results.length === 1 ? downloadName(results[0].name, 'chunks.zip') : 'vornix-chunks.zip';
  button.disabled = true;
  const entries = [];
  for (const file of shown) entries.push({ path: file.path, bytes: await file.blob.arrayBuffer() });
  const zipper = await startWorker(workerUrl);
  const answer = zipper.failure ? zipper : await ask(zipper.worker, { zip: entries }, entries.map((entry) => entry.bytes));
  if (zipper.worker) zipper.worker.terminate();
  button.disabled = false;
  if (answer.failure) showProblem('The page could not build the zip (' + answer.failure + '); download the files one by one.');
  else download(base, answer.zip);
}

function start() {
  // Compiled once for the page; each image gets a fresh instance of it in the worker.
  if (typeof vornixWasm === 'string' && typeof vornixWorkerSource === 'string') {
    $('version').textContent = 'vornix ' + vornixVersion;
    if (typeof WebAssembly === 'object' && typeof Worker === 'function') {
      workerUrl = URL.createObjectURL(new Blob([vornixWorkerSource], { type: 'text/javascript' }));
      // A rejection is held until a run, which reports it.
      compiling = WebAssembly.compile(Uint8Array.from(atob(vornixWasm), (c) => c.charCodeAt(0)));
      compiling.catch(() => {});
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
  $('download-all').addEventListener('click', downloadAll);
  $('files').addEventListener('click', (event) => {
    const file = shown[event.target.dataset.index];
    if (!file) return;
    if (event.target.dataset.action === 'show') showFile(file, true);
    else download(downloadName(file.image, file.name), file.blob);
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
}

start();
