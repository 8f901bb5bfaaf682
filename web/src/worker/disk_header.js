// Whether an image starts with what a D88 disk header holds: a known write-protect flag and
// media type, a disk size of at least a header, and track offsets inside the disk.
export const HEADER_SIZE = 688;
// The shortest track table a D88 header has: 160 tracks, the first one right after it.
const SHORT_HEADER_SIZE = 672;
const MEDIA_TYPES = [0x00, 0x10, 0x20, 0x30, 0x40];

export function hasDiskHeader(bytes) {
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
