// One image run by a fresh instance of the program, from the module the page compiled once: it
// reads the image through emscripten's WORKERFS, in blocks, and writes its chunk files to an
// in-memory folder. The answer holds what it printed, the files it wrote (as Blobs, which the
// page gets without a copy), and whether the image starts with a D88 disk header.
/* global createVornix */
import { hasDiskHeader } from './disk_header.js';
import { clearCache, head, readCached } from './read.js';

// An error reading the File (gone, changed, or a folder): the program sees a failed read.
const EIO = 29;

function splitLines(bytes) {
  const lines = [];
  let start = 0;
  for (let i = 0; i < bytes.length; i++) {
    if (bytes[i] === 0x0a) {
      lines.push(new Uint8Array(bytes.slice(start, i)));
      start = i + 1;
    }
  }
  if (start < bytes.length) lines.push(new Uint8Array(bytes.slice(start)));
  return lines;
}

// A program whose module will not instantiate fails the run instead of leaving it waiting.
function instance(module, out, err) {
  let failed;
  const failure = new Promise((resolve, reject) => { failed = reject; });
  const program = createVornix({
    instantiateWasm: (imports, receive) => {
      WebAssembly.instantiate(module, imports).then((made) => receive(made, module), failed);
      return {};
    },
    // Byte by byte, so that the Shift-JIS message reaches the page as the program wrote it;
    // the bytes arrive as signed numbers.
    preRun: [(made) => made.FS.init(null,
      (byte) => { if (byte !== null) out.push(byte & 0xff); },
      (byte) => { if (byte !== null) err.push(byte & 0xff); })],
    print: () => {},
    printErr: () => {},
  });
  return Promise.race([program, failure]);
}

// image: { file, size } or { pieces, size }, or null for a folder or a file the page could not
// read either. Without asIs, an image the worker cannot read is sent back for a copy. beat(at)
// is called on reads, with how far the program has read.
export async function run({ module, image, name, isFolder, asIs }, beat) {
  clearCache();
  const first = image ? head(image) : null;
  if (first === null && !isFolder && !asIs) return { unreadable: true };
  const out = [];
  const err = [];
  const program = await instance(module, out, err);
  const fs = program.FS;
  const fileName = name.replace(/\//g, '_') || 'image';
  const imagePath = '/image/' + fileName;
  fs.mkdir('/out');
  if (isFolder) {
    fs.mkdirTree(imagePath);
  } else if (first) {
    const workerfs = fs.filesystems.WORKERFS;
    workerfs.stream_ops.read = (stream, buffer, offset, length, position) => {
      beat(position);
      try {
        return readCached(stream.node.contents, buffer, offset, length, position);
      } catch (error) {
        throw new fs.ErrnoError(EIO);
      }
    };
    fs.mkdir('/image');
    fs.mount(workerfs, { blobs: [{ name: fileName, data: image }] }, '/image');
  } else {
    fs.mkdir('/image');
  }
  fs.chdir('/out');
  const status = program.callMain([imagePath]);
  const files = [];
  const decoder = new TextDecoder();
  for (const line of splitLines(out)) {
    const written = decoder.decode(line);
    try {
      const bytes = fs.readFile('/out/' + written);
      files.push({ name: written, size: bytes.length, blob: new Blob([bytes]) });
    } catch (error) {
      // Named but not written: the program says why on standard error.
    }
  }
  return { status, files, messages: splitLines(err), recognised: first === null || hasDiskHeader(first) };
}
