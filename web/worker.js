// The Web Worker that runs vornix for the page. The page makes it from a Blob of vornix's own
// script (createVornix) followed by this one, so that it works from file:// too. Each message
// is one image: a fresh instance of the program, from the module the page compiled once, reads
// the File where it lies through emscripten's WORKERFS, in slices, and writes its chunk files to
// an in-memory folder; the answer holds what it printed, the files it wrote, and whether the
// image starts with a D88 disk header.
'use strict';
/* global createVornix */

// An error reading the File (gone, changed, or a folder): the program sees a failed read.
const EIO = 29;

function splitLines(bytes) {
  const lines = [];
  let start = 0;
  for (let i = 0; i < bytes.length; i++) {
    if (bytes[i] === 0x0a) {
      lines.push(bytes.slice(start, i));
      start = i + 1;
    }
  }
  if (start < bytes.length) lines.push(bytes.slice(start));
  return lines;
}

const HEADER_SIZE = 688;
// The shortest track table a D88 header has: 160 tracks, the first one right after it.
const SHORT_HEADER_SIZE = 672;
const MEDIA_TYPES = [0x00, 0x10, 0x20, 0x30, 0x40];

// Whether bytes start with what a D88 disk header holds: a known write-protect flag and media
// type, a disk size of at least a header, and track offsets inside the disk.
function hasDiskHeader(bytes) {
  if (bytes.length < HEADER_SIZE) return false;
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.length);
  const size = view.getUint32(28, true);
  if ((bytes[26] !== 0 && bytes[26] !== 0x10) || !MEDIA_TYPES.includes(bytes[27]) || size < HEADER_SIZE) {
    return false;
  }
  for (let at = 32; at < SHORT_HEADER_SIZE; at += 4) {
    const offset = view.getUint32(at, true);
    if (offset !== 0 && (offset < SHORT_HEADER_SIZE || offset > size)) return false;
  }
  return true;
}

// The image is read in blocks: from the File where it lies, or from the 1 MiB pieces of the
// copy the page sends where the worker may not read the File (WebKit, from file://). The
// page's pieces are the same size as the blocks.
const BLOCK = 1 << 20;
const CACHED_BLOCKS = 4;
const cache = new Map();

// A piece the page left out (null) is a whole block of zeros.
function readBlock(image, key) {
  if (!image.pieces) return new Uint8Array(new FileReaderSync().readAsArrayBuffer(image.file.slice(key * BLOCK, (key + 1) * BLOCK)));
  if (key >= image.pieces.length) return new Uint8Array(0);
  return image.pieces[key] ? new Uint8Array(image.pieces[key]) : new Uint8Array(BLOCK);
}

// The image's first bytes, or null where the browser does not let it be read: a folder chosen
// in a file picker, a file gone or changed since it was chosen (fewer bytes than it had).
function head(image) {
  try {
    const bytes = readBlock(image, 0).subarray(0, HEADER_SIZE);
    return bytes.length === Math.min(image.size, HEADER_SIZE) ? bytes : null;
  } catch (error) {
    return null;
  }
}

// The program's stream seeks for every track, and each seek makes it fill its 1 MiB buffer
// again: reads are served from the last few blocks, each read once.
function readCached(image, buffer, offset, length, position) {
  let done = 0;
  while (done < length && position + done < image.size) {
    const at = position + done;
    const key = Math.floor(at / BLOCK);
    let block = cache.get(key);
    if (!block) {
      block = readBlock(image, key);
      if (cache.size >= CACHED_BLOCKS) cache.delete(cache.keys().next().value);
      cache.set(key, block);
    }
    const part = block.subarray(at - key * BLOCK, at - key * BLOCK + length - done);
    if (part.length === 0) break;
    buffer.set(part, offset + done);
    done += part.length;
  }
  return done;
}

// image: { file, size } or { pieces, size }, or null for a folder or a file the page could not
// read either. Without asIs, an image the worker cannot read is sent back for a copy.
async function run({ module, image, name, isFolder, asIs }) {
  cache.clear();
  const first = image ? head(image) : null;
  if (first === null && !isFolder && !asIs) return { unreadable: true, files: [] };
  const out = [];
  const err = [];
  const program = await createVornix({
    instantiateWasm: (imports, receive) => {
      WebAssembly.instantiate(module, imports).then((instance) => receive(instance, module));
      return {};
    },
    // Byte by byte, so that the Shift-JIS message reaches the page as the program wrote it;
    // the bytes arrive as signed numbers.
    preRun: [(instance) => instance.FS.init(null,
      (byte) => { if (byte !== null) out.push(byte & 0xff); },
      (byte) => { if (byte !== null) err.push(byte & 0xff); })],
    print: () => {},
    printErr: () => {},
  });
  const fs = program.FS;
  const fileName = name.replace(/\//g, '_') || 'image';
  const imagePath = '/image/' + fileName;
  fs.mkdir('/out');
  if (isFolder) {
    fs.mkdirTree(imagePath);
  } else if (first) {
    const workerfs = fs.filesystems.WORKERFS;
    workerfs.stream_ops.read = (stream, buffer, offset, length, position) => {
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
    const written = decoder.decode(new Uint8Array(line));
    try {
      files.push({ name: written, bytes: fs.readFile('/out/' + written) });
    } catch (error) {
      // Named but not written: the program says why on standard error.
    }
  }
  const recognised = first === null || hasDiskHeader(first);
  return { status, files, messages: splitLines(err).map((line) => new Uint8Array(line)), recognised };
}

onmessage = async (event) => {
  try {
    const result = await run(event.data);
    postMessage(result, result.files.map((file) => file.bytes.buffer));
  } catch (error) {
    postMessage({ failure: String(error && error.message ? error.message : error) });
  }
};
