// The names the page gives what it saves: a folder in the zip for each of several images, and
// a name for each file downloaded alone that says which image it came from.

// Characters no file system takes in a name, or that would make a name a path.
const FORBIDDEN = /[\\/:*?"<>|\x00-\x1f\x7f]/g;
// Names Windows keeps for its devices, with any extension.
const RESERVED = /^(con|prn|aux|nul|com[1-9]|lpt[1-9])(\.|$)/i;

// The image's name without its extension, as one path component that unpacks anywhere: never
// empty, "." or "..", and no trailing dot or space, which Windows drops.
export function baseName(imageName) {
  const base = imageName.replace(/\.[^.]*$/, '').replace(FORBIDDEN, '_').replace(/[. ]+$/, '').replace(/^ +/, '');
  if (base === '') return 'image';
  return RESERVED.test(base) ? '_' + base : base;
}

// A folder unique among those taken, whatever the case, since Windows and macOS ignore it.
export function folderFor(imageName, taken) {
  const base = baseName(imageName);
  const used = new Set(taken.map((folder) => folder.toLowerCase()));
  let folder = base;
  for (let n = 2; used.has(folder.toLowerCase()); n++) folder = base + '-' + n;
  return folder;
}

export const downloadName = (imageName, fileName) => baseName(imageName) + '-' + fileName;
