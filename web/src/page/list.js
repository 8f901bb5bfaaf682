// What the page shows of the images run: the program's messages and the page's notes, the
// chunk files' rows, and the bytes of one file.
import { byteCount, count } from './words.js';

// The program's open-failure message, "the file cannot be opened", which it writes in
// Shift-JIS whatever the terminal.
const OPEN_FAILURE = 'ファイルをオープンできません';
const BLOCK_SIZE = 1024;
const ROWS_AT_ONCE = 100;
const $ = (id) => document.getElementById(id);

export function hexView(bytes) {
  const lines = [];
  for (let at = 0; at < bytes.length; at += 16) {
    const row = Array.from(bytes.subarray(at, at + 16));
    const hex = row.map((b) => b.toString(16).padStart(2, '0')).join(' ');
    const ascii = row.map((b) => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : '.')).join('');
    lines.push(at.toString(16).padStart(8, '0') + '  ' + hex.padEnd(48) + '  ' + ascii);
  }
  return lines.join('\n');
}

export async function showFile(file, moveFocus) {
  const bytes = new Uint8Array(await file.blob.arrayBuffer());
  $('viewer-name').textContent = file.path;
  $('viewer-size').textContent = byteCount(file.size);
  $('hex').textContent = hexView(bytes);
  $('viewer').hidden = false;
  if (moveFocus) {
    $('viewer').scrollIntoView({ block: 'start' });
    $('hex').focus({ preventScroll: true });
  }
}

function messageItem(result, line, several) {
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
  return item;
}

export function showMessages(results) {
  const list = $('message-list');
  const notes = $('notes');
  list.replaceChildren();
  notes.replaceChildren();
  for (const result of results) {
    for (const line of result.messages) list.append(messageItem(result, line, results.length > 1));
    if (result.note) {
      const note = document.createElement('li');
      note.textContent = result.note;
      notes.append(note);
    }
  }
  $('messages').hidden = list.children.length === 0 && notes.children.length === 0;
  list.hidden = list.children.length === 0;
  $('notes-part').hidden = notes.children.length === 0;
}

function button(text, label, action, index) {
  const element = document.createElement('button');
  element.type = 'button';
  element.textContent = text;
  element.setAttribute('aria-label', label);
  element.dataset.action = action;
  element.dataset.index = index;
  return element;
}

// Rows are added a hundred at a time, with a frame drawn between, so that a long list never
// holds up the page; shown gets each file once its row is in the table. Ends early once
// current() is false.
export async function appendRows(files, shown, current) {
  for (let start = 0; start < files.length && current(); start += ROWS_AT_ONCE) {
    const rows = document.createDocumentFragment();
    for (const file of files.slice(start, start + ROWS_AT_ONCE)) {
      const row = document.createElement('tr');
      row.insertCell().textContent = file.path;
      const size = row.insertCell();
      size.className = 'number';
      size.textContent = count(file.size);
      const blocks = row.insertCell();
      blocks.className = 'number';
      blocks.textContent = count(file.size / BLOCK_SIZE);
      row.insertCell().append(button('Show bytes', 'Show bytes of ' + file.path, 'show', shown.length),
        button('Download', 'Download ' + file.path, 'download', shown.length));
      shown.push(file);
      rows.append(row);
    }
    $('files').tBodies[0].append(rows);
    $('results').hidden = false;
    // A hidden page draws no frame, and goes on after a tenth of a second.
    await new Promise((resolve) => {
      requestAnimationFrame(() => setTimeout(resolve, 0));
      setTimeout(resolve, 100);
    });
  }
}
