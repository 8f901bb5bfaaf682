// A Blob handed to the browser as a download of the given name.
const KEEP_URL = 60000;

export function download(name, blob) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), KEEP_URL);
}
