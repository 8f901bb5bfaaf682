// The page around vornix compiled to WebAssembly (vornix.js, which defines createVornix). Each
// image runs in a fresh instance of the program, as in a new process, on an in-memory folder;
// the page shows what the program printed and the files it wrote there, and nothing else.
'use strict';

(() => {
  // The program's open-failure message, "the file cannot be opened", as the Shift-JIS bytes it
  // writes whatever the terminal.
  const OPEN_FAILURE = [
    0x83, 0x74, 0x83, 0x40, 0x83, 0x43, 0x83, 0x8b, 0x82, 0xf0, 0x83, 0x49, 0x81, 0x5b, 0x83,
    0x76, 0x83, 0x93, 0x82, 0xc5, 0x82, 0xab, 0x82, 0xdc, 0x82, 0xb9, 0x82, 0xf1,
  ];
  const BLOCK_SIZE = 1024;
  const VIEW_BYTES = 512;
  const NEWLINE = 0x0a;

  const $ = (id) => document.getElementById(id);
  let files = [];
  let imageName = '';
  let runNumber = 0;

  function splitLines(bytes) {
    const lines = [];
    let start = 0;
    for (let i = 0; i < bytes.length; i++) {
      if (bytes[i] === NEWLINE) {
        lines.push(bytes.slice(start, i));
        start = i + 1;
      }
    }
    if (start < bytes.length) lines.push(bytes.slice(start));
    return lines;
  }

  const sameBytes = (a, b) => a.length === b.length && a.every((value, i) => value === b[i]);

  // Runs the program on the image bytes (null when the browser could not read them, so that the
  // program finds nothing at the path) or on a folder; returns its output and files.
  async function runProgram(name, bytes, isFolder) {
    const out = [];
    const err = [];
    const program = await createVornix({
      // Byte by byte, so that the Shift-JIS message reaches the page as the program wrote it;
      // the bytes arrive as signed numbers.
      preRun: [(module) => module.FS.init(null,
        (byte) => { if (byte !== null) out.push(byte & 0xff); },
        (byte) => { if (byte !== null) err.push(byte & 0xff); })],
      print: () => {},
      printErr: () => {},
    });
    const fs = program.FS;
    fs.mkdir('/image');
    fs.mkdir('/out');
    const imagePath = '/image/' + (name.replace(/\//g, '_') || 'image');
    if (isFolder) {
      fs.mkdir(imagePath);
    } else if (bytes !== null) {
      fs.writeFile(imagePath, bytes);
    }
    fs.chdir('/out');
    const status = program.callMain([imagePath]);
    const written = [];
    const decoder = new TextDecoder();
    for (const line of splitLines(out)) {
      const fileName = decoder.decode(new Uint8Array(line));
      try {
        written.push({ name: fileName, bytes: fs.readFile('/out/' + fileName) });
      } catch (error) {
        // Named but not written: the program says why on standard error.
      }
    }
    return { status, written, messages: splitLines(err) };
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

  function zipStored(entries) {
    const DOS_DATE = (1 << 5) | 1;
    const parts = [];
    const directory = [];
    let offset = 0;
    let directorySize = 0;
    for (const entry of entries) {
      const name = new TextEncoder().encode(entry.name);
      const crc = crc32(entry.bytes);
      const local = new DataView(new ArrayBuffer(30));
      local.setUint32(0, 0x04034b50, true);
      local.setUint16(4, 20, true);
      local.setUint16(12, DOS_DATE, true);
      local.setUint32(14, crc, true);
      local.setUint32(18, entry.bytes.length, true);
      local.setUint32(22, entry.bytes.length, true);
      local.setUint16(26, name.length, true);
      parts.push(local, name, entry.bytes);
      const central = new DataView(new ArrayBuffer(46));
      central.setUint32(0, 0x02014b50, true);
      central.setUint16(4, 20, true);
      central.setUint16(6, 20, true);
      central.setUint16(14, DOS_DATE, true);
      central.setUint32(16, crc, true);
      central.setUint32(20, entry.bytes.length, true);
      central.setUint32(24, entry.bytes.length, true);
      central.setUint16(28, name.length, true);
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
    const shown = bytes.subarray(0, VIEW_BYTES);
    const lines = [];
    for (let at = 0; at < shown.length; at += 16) {
      const row = Array.from(shown.subarray(at, at + 16));
      const hex = row.map((b) => b.toString(16).padStart(2, '0')).join(' ');
      const ascii = row.map((b) => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : '.')).join('');
      lines.push(at.toString(16).padStart(8, '0') + '  ' + hex.padEnd(48) + '  ' + ascii);
    }
    return lines.join('\n');
  }

  function showFile(file) {
    $('viewer-name').textContent = file.name;
    $('hex').textContent = hexView(file.bytes);
    $('viewer').hidden = false;
  }

  function button(text, label, action) {
    const element = document.createElement('button');
    element.type = 'button';
    element.textContent = text;
    element.setAttribute('aria-label', label);
    element.addEventListener('click', action);
    return element;
  }

  function showMessages(messages) {
    const list = $('message-list');
    list.replaceChildren();
    for (const line of messages) {
      const item = document.createElement('li');
      if (sameBytes(line, OPEN_FAILURE)) {
        const japanese = document.createElement('span');
        japanese.lang = 'ja';
        japanese.textContent = new TextDecoder('shift_jis').decode(new Uint8Array(line));
        const english = document.createElement('span');
        english.textContent = 'The file cannot be opened.';
        item.append(japanese, ' ', english);
      } else {
        item.textContent = new TextDecoder().decode(new Uint8Array(line));
      }
      list.append(item);
    }
    $('messages').hidden = messages.length === 0;
  }

  function showFiles() {
    const body = $('files').tBodies[0];
    body.replaceChildren();
    for (const file of files) {
      const row = body.insertRow();
      row.insertCell().textContent = file.name;
      const size = row.insertCell();
      size.className = 'number';
      size.textContent = file.bytes.length.toLocaleString('en');
      const blocks = row.insertCell();
      blocks.className = 'number';
      blocks.textContent = String(file.bytes.length / BLOCK_SIZE);
      const actions = row.insertCell();
      actions.append(
        button('Show bytes', 'Show the first bytes of ' + file.name, () => showFile(file)),
        button('Download', 'Download ' + file.name,
          () => download(file.name, new Blob([file.bytes], { type: 'application/octet-stream' }))));
    }
    $('results').hidden = files.length === 0;
  }

  async function run(name, readBytes, isFolder) {
    const thisRun = ++runNumber;
    // Nothing of an earlier image stays on the page while the next one runs.
    files = [];
    imageName = name;
    showFiles();
    showMessages([]);
    $('viewer').hidden = true;
    $('status').textContent = 'Running vornix on ' + name + '…';
    let bytes = null;
    try {
      bytes = isFolder ? null : new Uint8Array(await readBytes());
    } catch (error) {
      bytes = null;
    }
    const result = await runProgram(name, bytes, isFolder);
    if (thisRun !== runNumber) return;
    files = result.written;
    showFiles();
    showMessages(result.messages);
    const count = files.length === 1 ? '1 chunk file' : files.length + ' chunk files';
    $('status').textContent = name + ': ' + count + (result.status === 0 ? '.' :
      ', exit status ' + result.status + ' (see the messages).');
    if (files.length > 0) showFile(files[0]);
    performance.mark('vornix-listed');
  }

  $('image').addEventListener('change', (event) => {
    const file = event.target.files[0];
    // The benchmark measures from here to the list shown.
    performance.mark('vornix-chosen');
    if (file) run(file.name, () => file.arrayBuffer(), false);
  });
  $('download-all').addEventListener('click', () => {
    const base = imageName.replace(/\.[^.]*$/, '') || 'vornix';
    download(base + '-chunks.zip', zipStored(files));
  });
  const drop = $('drop');
  drop.addEventListener('dragover', (event) => {
    event.preventDefault();
    drop.classList.add('over');
  });
  drop.addEventListener('dragleave', () => drop.classList.remove('over'));
  drop.addEventListener('drop', (event) => {
    event.preventDefault();
    drop.classList.remove('over');
    const item = event.dataTransfer.items && event.dataTransfer.items[0];
    const entry = item && item.webkitGetAsEntry ? item.webkitGetAsEntry() : null;
    const file = event.dataTransfer.files[0];
    // A folder gets what the program says of a folder: that it cannot be opened.
    if (entry && entry.isDirectory) run(entry.name, null, true);
    else if (file) run(file.name, () => file.arrayBuffer(), false);
  });
})();
