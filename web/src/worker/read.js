// The image is read in blocks: from the File where it lies, or from the 1 MiB pieces the page
// copied to the worker where it may not read the File (WebKit, from file://). A piece of zeros
// is kept as null, so that a sparse image takes no memory.
import { HEADER_SIZE } from './disk_header.js';

export const BLOCK = 1 << 20;
const CACHED_BLOCKS = 4;
const cache = new Map();

export const clearCache = () => cache.clear();

// Whether a whole block holds nothing but zeros, four bytes at a time, stopping at the first
// other word: a block of data is told apart at once.
export function isZeros(piece) {
  if (piece.byteLength !== BLOCK) return false;
  const words = new Int32Array(piece);
  for (let i = 0; i < words.length; i++) if (words[i] !== 0) return false;
  return true;
}

export function readBlock(image, key) {
  if (!image.pieces) return new Uint8Array(new FileReaderSync().readAsArrayBuffer(image.file.slice(key * BLOCK, (key + 1) * BLOCK)));
  if (key >= image.pieces.length) return new Uint8Array(0);
  return image.pieces[key] ? new Uint8Array(image.pieces[key]) : new Uint8Array(BLOCK);
}

// The image's first bytes, or null where the browser does not let it be read: a folder chosen
// in a file picker, a file gone or changed since it was chosen (fewer bytes than it had).
export function head(image) {
  try {
    const bytes = readBlock(image, 0).subarray(0, HEADER_SIZE);
    return bytes.length === Math.min(image.size, HEADER_SIZE) ? bytes : null;
  } catch (error) {
    return null;
  }
}

// The program's stream seeks for every track, and each seek makes it fill its 1 MiB buffer
// again: reads are served from the last few blocks, each read once.
export function readCached(image, buffer, offset, length, position) {
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
