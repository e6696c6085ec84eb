// The converter's own thread: the program built to WebAssembly runs here, so
// a 26-minute tape does not stop the page from drawing or answering.
//
// Each request carries everything a run needs (the image's bytes, the
// arguments), so a worker holds nothing between runs and the page may end one
// mid-run and start another.
//
//   page → worker  { type: 'run', id, image, bytes, file, pcm, args, wav, images }
//                   (`image` the path to write `bytes` to, or null, `args` the command
//                   line, `wav` the output's path or null; `file`, instead of
//                   `bytes`, a Blob read here; `pcm`, instead of `bytes`, a
//                   recording the browser decoded, { rate, channels:
//                   [Float32Array] }, written to `image` as a float WAV;
//                   `images` true when the run writes tape images, each sent
//                   back)
//   worker → page  { type: 'ready' } once the program has loaded, or
//                  { type: 'failed', message } if it could not;
//                  { type: 'progress', id, phase, handed, total } while a run
//                  writes ('write') and checks ('check') its WAV;
//                  { type: 'done', id, result, stdout, stderr, wav, files, seconds }
//                  (`result` the program's values, `wav` a Blob or null,
//                  `files` the images written, [{ name, blob }]), or
//                  { type: 'unreadable', id, message } when `file` could not
//                  be read; with `giveBack` in the request, its `pcm` comes
//                  back, whatever the answer, in `back`, moved (not copied)
//                  as the page moved it here
import createKorvax from './korvax.js';

const printed = { out: [], err: [] };
let current = null; // the request being run

const program = createKorvax({
  print: (line) => printed.out.push(line),
  printErr: (line) => printed.err.push(line),
}).then((m) => {
  m.FS.mkdirTree('/work');
  // Called by the WAV writer after each block: progress at most every 50 ms
  // (a block is 256 KiB), and once the last block is out, when the read-back
  // check, if any, begins.
  let told = 0;
  m.onWavProgress = (handed, total) => {
    if (!current) return;
    const now = performance.now();
    const last = handed >= total;
    if (!last && now - told < 50) return;
    told = now;
    postMessage({ type: 'progress', id: current.id, phase: last && current.checks ? 'check' : 'write', handed, total });
  };
  return m;
});

program.then(
  () => postMessage({ type: 'ready' }),
  (e) => postMessage({ type: 'failed', message: String(e?.message || e) }));

// A message the program left without its line break still belongs to this
// run.
function flushStreams(m) {
  for (const fd of [1, 2]) {
    const stream = m.FS.getStream(fd);
    if (stream?.tty?.ops?.flush) stream.tty.ops.flush(stream.tty);
  }
}

function unlinkQuietly(m, path) {
  try {
    m.FS.unlink(path);
  } catch {
    // not there
  }
}

// The samples as a WAV of 32-bit floats, the form the program reads without
// losing anything the browser decoded; the channels interleaved here, off the
// page's thread.
function floatWav({ rate, channels }) {
  const count = channels.length;
  const frames = count > 0 ? channels[0].length : 0;
  const data = frames * count * 4;
  const bytes = new Uint8Array(44 + data);
  const v = new DataView(bytes.buffer);
  const text = (at, s) => { for (let i = 0; i < s.length; i += 1) bytes[at + i] = s.charCodeAt(i); };
  text(0, 'RIFF');
  v.setUint32(4, 36 + data, true);
  text(8, 'WAVE');
  text(12, 'fmt ');
  v.setUint32(16, 16, true);
  v.setUint16(20, 3, true); // IEEE float
  v.setUint16(22, count, true);
  v.setUint32(24, rate, true);
  v.setUint32(28, rate * count * 4, true);
  v.setUint16(32, count * 4, true);
  v.setUint16(34, 32, true);
  text(36, 'data');
  v.setUint32(40, data, true);
  const samples = new Float32Array(bytes.buffer, 44, frames * count);
  for (let c = 0; c < count; c += 1) {
    const from = channels[c];
    for (let i = 0, j = c; i < frames; i += 1, j += count) samples[j] = from[i];
  }
  return bytes;
}

// The images the run wrote, as Blobs, and gone from the file system.
function takeImages(m, written) {
  const files = [];
  for (const path of written) {
    try {
      files.push({ name: path.split('/').pop(), blob: new Blob([m.FS.readFile(path)], { type: 'application/octet-stream' }) });
    } catch {
      // not there after all: the result says what was written
    }
    unlinkQuietly(m, path);
  }
  return files;
}

// What the program is to read: a file the page chose, read here off the
// page's thread, the samples the browser decoded, or an image's bytes.
function input(request) {
  if (request.file) return new Uint8Array(new FileReaderSync().readAsArrayBuffer(request.file));
  return request.pcm ? floatWav(request.pcm) : request.bytes;
}

function run(m, request) {
  const { image, wav } = request;
  if (image) {
    let data;
    try {
      data = input(request);
    } catch (e) {
      return { type: 'unreadable', id: request.id, message: String(e?.message || e) };
    }
    m.FS.writeFile(image, data);
  }
  printed.out = [];
  printed.err = [];
  current = { id: request.id, checks: request.args.includes('-V') };
  const started = performance.now();
  let answer;
  try {
    answer = m.ccall('korvax_page_run', 'string', ['string'], [request.args.join('\n')]);
  } finally {
    current = null;
    flushStreams(m);
    if (image) unlinkQuietly(m, image);
  }
  const seconds = (performance.now() - started) / 1000;
  const result = JSON.parse(answer);
  let blob = null;
  if (wav) {
    // The Blob is made here, so the page is handed the sound without copying
    // it on its own thread.
    if (result.status === 0 || result.status === 7) {
      try {
        blob = new Blob([m.FS.readFile(wav)], { type: 'audio/wav' });
      } catch {
        blob = null;
      }
    }
    unlinkQuietly(m, wav);
  }
  const files = request.images ? takeImages(m, result.written ?? []) : [];
  return { type: 'done', id: request.id, result, stdout: printed.out, stderr: printed.err, wav: blob, files, seconds };
}

self.onmessage = async (event) => {
  const request = event.data;
  if (request?.type !== 'run') return;
  const m = await program;
  let answer;
  try {
    answer = run(m, request);
  } catch (e) {
    answer = { type: 'crashed', id: request.id, message: String(e?.message || e) };
  }
  const moved = [];
  if (request.giveBack) {
    answer.back = { pcm: request.pcm };
    for (const c of request.pcm?.channels ?? []) moved.push(c.buffer);
  }
  postMessage(answer, moved);
};
