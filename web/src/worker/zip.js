// The chunk files as one zip, by fflate: stored as they are, each entry streamed into the zip in
// turn, names in UTF-8 (flagged as such where they are not ASCII), and every entry dated
// 1980-01-01 00:00, the earliest date a zip holds, so that the same files give the same bytes.
import { Zip, ZipPassThrough } from 'fflate';

const FIXED_DATE = new Date(1980, 0, 1);
// Made on Unix, as an ordinary file readable by all: unzip converts the names of entries made
// on MS-DOS (fflate's default) from an old code page, even those flagged UTF-8.
const UNIX = 3;
const ORDINARY_FILE = (0o100644 << 16) >>> 0;

// entries: [{ path, bytes }], bytes an ArrayBuffer.
export function zipFiles(entries) {
  const parts = [];
  let failure = null;
  const zip = new Zip((error, chunk) => {
    if (error) failure = error;
    else parts.push(chunk);
  });
  for (const entry of entries) {
    const file = new ZipPassThrough(entry.path);
    file.mtime = FIXED_DATE;
    file.os = UNIX;
    file.attrs = ORDINARY_FILE;
    zip.add(file);
    file.push(new Uint8Array(entry.bytes), true);
  }
  zip.end();
  if (failure) throw failure;
  return new Blob(parts, { type: 'application/zip' });
}
