// The page around the command-line program built to WebAssembly. The program
// does all the work, in a worker (worker.js) so the page keeps drawing; this
// script hands it the image with the options a user would type, and shows
// what it answers as values: the verdict, the sound, its map, its messages.
import { TapeMap, clock } from './map.js';

window.korvaxStarted = true;

const $ = (id) => document.getElementById(id);

// One row per setting: the control, the option it becomes, and how. Defaults
// are the controls' own (from the HTML, the command line's defaults); an
// option equal to its default is left out, as a user would. A row is shown
// only when the program's usage text lists its option and the option applies
// to the image; a hidden row is never passed.
const SETTINGS = [
  { id: 'format', option: '-f', args: (el) => (el.value === '' ? [] : ['-f', el.value]) },
  { id: 'rate', option: '-s', args: (el) => (el.value.trim() === el.defaultValue ? [] : ['-s', el.value.trim()]) },
  { id: 'gain', option: '-g', args: (el) => (el.selectedOptions[0]?.defaultSelected ? [] : ['-g', el.value]) },
  { id: 'invert', option: '-n', args: (el) => (el.checked ? ['-n'] : []) },
  { id: 'speed', option: '-b', args: (el) => (el.value === '' ? [] : ['-b', el.value]),
    applies: (family) => family.startsWith('trs80') },
];

// Options always passed when the program has them: the read-back check is
// what makes the verdict.
const ALWAYS = [{ option: '-V', args: ['-V'] }];

// Exit statuses in words.
const STATUS_WORDS = {
  1: 'The program did not accept the options.',
  2: 'A number in the settings could not be read.',
  3: 'That sample rate is not supported: choose between 8000 and 192000 Hz.',
  4: 'The image could not be read.',
  5: 'The WAV could not be written (it may be too large).',
  6: 'This is not a tape image the program knows, or the image is damaged.',
  7: 'The WAV was written but does not read back: a machine would probably not load it.',
};
const statusWords = (status) => `${STATUS_WORDS[status] ?? `The program stopped with status ${status}.`} (status ${status})`;

// The kinds of image the program reports (its "family"), in words.
const FAMILIES = {
  'trs80-500': 'TRS-80 Level II (500 baud)',
  'trs80-250': 'TRS-80 Level I (250 baud)',
  'trs80-1500': 'TRS-80 high-speed (1500 baud)',
  homelab: 'Homelab',
  cgenie: 'Colour Genie',
  tap01: 'Commodore TAP version 0 or 1',
  tap2: 'Commodore TAP version 2',
  program: 'Commodore program',
};

const state = {
  converter: null,
  supported: new Set(), // options the usage text lists
  image: null, // { name, path, bytes }, or a recording: { name, stem, recording: true, bytes, pcm }
  found: null, // what the program found in the image
  choice: 'recommended', // or 'defaults': which settings a new image gets
  kind: '.t64', // the kind of Commodore image last chosen
  url: null, // the current WAV's object URL
  runs: 0,
  generation: 0, // the latest request; answers to older ones are dropped
};

// ---- the converter, in its worker -----------------------------------------

// Runs one request at a time in a worker. A new request while one runs ends
// that worker and starts another: the old answer is no longer wanted, and a
// long conversion cannot be interrupted from inside.
class Converter {
  constructor() {
    this.pending = null;
    this.nextId = 1;
    this.spawn();
  }

  spawn() {
    const worker = new Worker(new URL('./worker.js', import.meta.url), { type: 'module' });
    let loaded = false;
    this.worker = worker;
    this.ready = new Promise((resolve, reject) => {
      worker.onmessage = (e) => {
        const m = e.data;
        if (m.type === 'ready') {
          loaded = true;
          resolve();
        } else if (m.type === 'failed') {
          reject(new Error(m.message));
        } else if (m.id === this.pending?.id) {
          if (m.type === 'progress') this.pending.onProgress?.(m);
          else this.settle(m);
          // After a crash the program's memory may be in any state: the
          // next request gets a fresh worker.
          if (m.type === 'crashed') this.replace();
        }
      };
      worker.onerror = (e) => {
        e.preventDefault();
        const message = e.message || 'the converter stopped';
        reject(new Error(message));
        this.settle({ type: 'crashed', message });
        // A worker that never loaded would fail again: only one that ran is
        // replaced.
        if (loaded) this.replace();
      };
    });
    this.ready.catch(() => {});
  }

  replace() {
    this.worker.terminate();
    this.spawn();
  }

  settle(answer) {
    const p = this.pending;
    this.pending = null;
    p?.resolve(answer);
  }

  // Resolves with the worker's answer: { type: 'done', result, stdout,
  // stderr, wav, seconds }, { type: 'crashed', message } or { type:
  // 'superseded' }.
  // `transfer`: buffers of the request moved to the worker rather than
  // copied (a long recording's samples would hold the page for a while).
  run(request, onProgress, transfer = []) {
    if (this.pending) {
      this.settle({ type: 'superseded' });
      this.replace();
    }
    const id = this.nextId++;
    return new Promise((resolve) => {
      this.pending = { id, resolve, onProgress };
      this.ready.then(
        () => { if (this.pending?.id === id) this.worker.postMessage({ type: 'run', id, ...request }, transfer); },
        (e) => { if (this.pending?.id === id) this.settle({ type: 'crashed', message: String(e.message) }); });
    });
  }
}

// Which options this build of the program has, from its usage text.
async function readUsage() {
  const answer = await state.converter.run({ image: null, bytes: null, args: ['-h'], wav: null });
  if (answer.type !== 'done') throw new Error(answer.message ?? 'no usage text');
  for (const line of [...answer.stdout, ...answer.stderr]) {
    const m = /^(-[A-Za-z])\b/.exec(line.trim());
    if (m) state.supported.add(m[1]);
  }
}

// ---- the settings ----------------------------------------------------------

const family = () => state.found?.family ?? '';

function rowShown(s) {
  return state.supported.has(s.option) && (!s.applies || s.applies(family()));
}

function showRows() {
  for (const s of SETTINGS) {
    const row = document.querySelector(`[data-option="${s.option}"]`);
    if (row) row.hidden = !rowShown(s);
  }
}

function optionArgs() {
  const args = [];
  for (const s of SETTINGS) if (rowShown(s)) args.push(...s.args($(s.id)));
  for (const a of ALWAYS) if (state.supported.has(a.option)) args.push(...a.args);
  return args;
}

function defaults() {
  return {
    rate: $('rate').defaultValue,
    gain: [...$('gain').options].find((o) => o.defaultSelected).value,
    invert: $('invert').defaultChecked,
    speed: '',
  };
}

// What suits the image: its format's lowest rate that reads back with margin,
// and for a TAP version 0 or 1 image the inverted signal, the only one that
// reads back.
function recommended(found) {
  const d = defaults();
  return { ...d, rate: String(found?.recommended_rate ?? d.rate), invert: found?.family === 'tap01' };
}

// The settings that suit the image, each with its reason.
function recommendedWhy(found) {
  const rec = recommended(found);
  const why = [];
  if (rec.invert) why.push('invert (such a signal reads back only inverted)');
  why.push(`${rec.rate} Hz (the lowest rate that reads back with margin)`);
  return why.join(' and ');
}

function currentSettings() {
  return { rate: $('rate').value.trim(), gain: $('gain').value, invert: $('invert').checked, speed: $('speed').value };
}

function putSettings(v) {
  $('rate').value = v.rate;
  $('gain').value = v.gain;
  $('invert').checked = v.invert;
  $('speed').value = v.speed;
}

const sameSettings = (a, b) => a.rate === b.rate && a.gain === b.gain && a.invert === b.invert && a.speed === b.speed;

// Settings in words: the rate, and whatever else differs from the defaults.
function describe(v) {
  const d = defaults();
  const words = [];
  if (v.invert) words.push('invert');
  words.push(`${v.rate} Hz`);
  if (v.gain !== d.gain) words.push(`gain ${v.gain}`);
  if (v.speed) words.push(`${v.speed} baud`);
  return words.join(', ');
}

// The one line that says which settings the image got, and why, with the
// way to the other choice.
function showChoice() {
  const el = $('choice');
  const button = $('choice-switch');
  const found = state.found;
  if (!found) {
    el.hidden = true;
    return;
  }
  const rec = recommended(found);
  const def = defaults();
  const cur = currentSettings();
  const name = FAMILIES[found.family] ?? found.description ?? 'this';
  let mode;
  let text;
  if (sameSettings(cur, rec)) {
    mode = sameSettings(rec, def) ? 'same' : 'recommended';
    text = mode === 'same'
      ? `The command line's defaults suit this ${name} image: ${recommendedWhy(found)}.`
      : `Set for this ${name} image: ${recommendedWhy(found)}.`;
  } else if (sameSettings(cur, def)) {
    mode = 'defaults';
    text = `The command line's defaults: ${describe(def)}. For this ${name} image: ${describe(rec)}.`;
  } else {
    mode = 'own';
    text = `Your own settings. For this ${name} image: ${describe(rec)}.`;
  }
  el.dataset.mode = mode;
  $('choice-text').textContent = text;
  button.hidden = mode === 'same';
  button.textContent = mode === 'recommended' ? "Use the command line's defaults" : 'Use the settings for this image';
  el.hidden = false;
}

function showSettingsSummary() {
  $('settings-summary').textContent = state.found ? `(${describe(currentSettings())})` : '';
}

// ---- the page --------------------------------------------------------------

function setStatus(text, kind = '') {
  const el = $('status');
  el.textContent = text;
  el.className = kind;
}

function setResultState(name) {
  $('result').dataset.state = name;
}

function countRun() {
  state.runs += 1;
  $('result').dataset.runs = String(state.runs);
}

// A message with the program's paths as the user's names.
const named = (line, names) => names.reduce((l, [path, name]) => l.replaceAll(path, name), line);

// What the program said: what option parsing printed (on standard error, for
// now), then the run's own messages.
function showMessages(answer, names = []) {
  const lines = [...answer.stderr, ...(answer.result?.messages ?? [])].map((l) => named(l, names));
  $('messages').textContent = lines.length === 0 ? '(no messages)' : lines.join('\n');
}

// The size as the program counts it in its "kbytes written" line (the RIFF
// size, all but the file's first 8 bytes, in KiB, a half rounded up), so the
// page and the program give one number in one unit.
const kbytes = (size) => `${Math.floor((size - 8 + 512) / 1024)} kbytes`;

const audio = () => $('audio');

function clearWav() {
  const a = audio();
  a.pause();
  a.removeAttribute('src');
  a.load();
  if (state.url) URL.revokeObjectURL(state.url);
  state.url = null;
  const d = $('download');
  d.removeAttribute('href');
  d.removeAttribute('download');
  d.setAttribute('aria-disabled', 'true');
  $('play').disabled = true;
  $('stop').disabled = true;
  $('play').textContent = 'Play';
  $('verdict').hidden = true;
  clearRead();
  map.clear();
  showTime();
}

// A name the program's file system accepts, with the extension kept (the
// program detects by it).
function safeName(name) {
  const base = name.split(/[\\/]/).pop() || 'image';
  const safe = base.replace(/[^A-Za-z0-9._-]/g, '_');
  return safe === '.' || safe === '..' ? 'image' : safe;
}

// A word of the command line as a shell would need it.
const shellWord = (w) => (/^[\w.,+:/=-]+$/.test(w) ? w : `'${w.replace(/'/g, "'\\''")}'`);

async function takeFile(file) {
  if (!file || !state.converter || document.body.dataset.ready !== 'true') return;
  // Choosing the same file again is a choice too: with the input emptied,
  // the browser tells of it.
  $('file').value = '';
  const name = file.name.split(/[\\/]/).pop();
  try {
    // A WAV is read by the worker, which the program reads as it is: a long
    // recording read here would hold the page while it is copied.
    if (isWav(new Uint8Array(await file.slice(0, 12).arrayBuffer()))) {
      state.image = recordingOf(name, { file });
    } else {
      const bytes = new Uint8Array(await file.arrayBuffer());
      state.image = looksLikeAudio(bytes) ? recordingOf(name, { bytes }) : { name, path: `/work/${safeName(name)}`, bytes };
    }
  } catch (e) {
    state.image = null;
    clearWav();
    countRun();
    unreadable(name, e?.message ?? e);
    return;
  }
  $('chosen').textContent = name;
  $('chosen').classList.add('named');
  refresh({ fresh: true });
}

let progressTimer = 0;

// Progress shows only for a run longer than a moment.
function startProgress(label = 'Reading the image…') {
  clearTimeout(progressTimer);
  $('progress').removeAttribute('value');
  $('progress-label').textContent = label;
  progressTimer = setTimeout(() => ($('progress-box').hidden = false), 250);
}

function stopProgress() {
  clearTimeout(progressTimer);
  $('progress-box').hidden = true;
}

function showProgress(p) {
  const bar = $('progress');
  if (p.phase === 'write') {
    bar.value = p.total > 0 ? p.handed / p.total : 0;
    $('progress-label').textContent = `Writing the sound: ${Math.floor(100 * bar.value)} %`;
  } else {
    bar.removeAttribute('value');
    $('progress-label').textContent = 'Checking that the sound reads back…';
  }
}

// Looks at the image as `korvax -i NAME` alone would (with the forced format,
// if any), then converts it. A new image, or a new format, gets the settings
// of the user's choice: those for the image, or the command line's defaults.
async function refresh({ fresh = false } = {}) {
  if (!state.image) return;
  const generation = ++state.generation;
  const current = () => generation === state.generation;
  const image = state.image;
  clearWav();
  setResultState('busy');
  $('command').hidden = true;
  $('player').hidden = Boolean(image.recording);
  // The settings shape a WAV the program writes; a recording is only read.
  $('settings-box').hidden = Boolean(image.recording);
  if (image.recording) {
    startProgress('Reading the recording…');
    try {
      await readRecording(image, current);
    } finally {
      if (current()) stopProgress();
    }
    return;
  }
  setStatus(`Converting ${image.name}…`);
  startProgress();
  try {
    const format = SETTINGS.find((x) => x.id === 'format');
    const seen = await state.converter.run({ image: image.path, bytes: image.bytes, args: ['-i', image.path, ...format.args($('format'))], wav: null });
    if (!current()) return;
    if (seen.type !== 'done') {
      failedToRun(seen);
      return;
    }
    if (seen.result.status === 6 && (await decodes(image.bytes))) {
      // Not a tape image, but sound the browser decodes: a recording.
      if (!current()) return;
      state.image = recordingOf(image.name, { bytes: image.bytes });
      refresh({ fresh: true });
      return;
    }
    if (!current()) return;
    if (seen.result.status !== 0) {
      state.found = null;
      showRows();
      showChoice();
      showSettingsSummary();
      showMessages(seen);
      countRun();
      failed(statusWords(seen.result.status));
      return;
    }
    state.found = seen.result;
    if (fresh) putSettings(state.choice === 'defaults' ? defaults() : recommended(state.found));
    showRows();
    showChoice();
    showSettingsSummary();
    await convert(image, current);
  } finally {
    if (current()) stopProgress();
  }
}

async function convert(image, current) {
  const out = `${image.path}.wav`;
  const options = optionArgs();
  const wavName = `${image.name}.wav`;
  $('command-line').textContent = ['korvax', '-i', image.name, '-o', wavName, ...options].map(shellWord).join(' ');
  const started = performance.now();
  const answer = await state.converter.run({ image: image.path, bytes: image.bytes, args: ['-i', image.path, '-o', out, ...options], wav: out }, showProgress);
  if (!current()) return;
  if (answer.type !== 'done') {
    failedToRun(answer);
    return;
  }
  const wall = (performance.now() - started) / 1000;
  const r = answer.result;
  countRun();
  $('result').dataset.seconds = answer.seconds.toFixed(3);
  $('result').dataset.wall = wall.toFixed(3);
  $('command').hidden = false;
  showMessages(answer);
  showVerdict(r);
  if (r.status !== 0 && r.status !== 7) {
    failed(statusWords(r.status));
    return;
  }
  if (!answer.wav) {
    failed('The program finished but wrote no WAV.');
    return;
  }
  offerWav(answer.wav, wavName);
  const seconds = r.sample_rate > 0 ? (r.wav_size - 44) / r.sample_rate : 0; // 8-bit mono after a 44-byte header
  map.show(r.marks, seconds);
  if (r.status === 7) setStatus(`${STATUS_WORDS[7]} The WAV (${kbytes(r.wav_size)}) is offered all the same. (status 7)`, 'error');
  else setStatus(`Converted ${image.name}: ${clock(seconds).replace(/\.\d$/, '')} of sound, ${kbytes(r.wav_size)}, ready to play or download.`, 'ok');
  setResultState('done');
}

function failed(text) {
  setStatus(text, 'error');
  setResultState('error');
}

const unreadable = (what, why) => failed(`The browser could not read ${what} (${why}). Choose it again.`);

function failedToRun(answer) {
  if (answer.type === 'superseded') return;
  countRun();
  if (answer.type === 'unreadable') unreadable('the file', answer.message);
  else failed(`The converter stopped unexpectedly (${answer.message}). Choose the file again; if it persists, reload the page.`);
}

// The read-back check's verdict, from its values; after a failure, what the
// program advises changing.
function showVerdict(r) {
  const el = $('verdict');
  const c = r.checked;
  if (!c || (r.status !== 0 && r.status !== 7)) {
    el.hidden = true;
    return;
  }
  const count = `${c.count.toLocaleString('en-US')} ${c.unit}`;
  if (c.error === '') {
    el.textContent = `The WAV reads back as the image (${count}), so it should load.`;
    el.className = 'ok';
  } else {
    const change = r.advice.length > 0 ? r.advice.join(' ') : 'Try a higher sample rate, another gain, or invert.';
    el.textContent = `The WAV does not read back as the image: ${c.error}. What to change: ${change}`;
    el.className = 'error';
  }
  el.hidden = false;
}

function offerWav(blob, name) {
  state.url = URL.createObjectURL(blob);
  audio().src = state.url;
  const a = $('download');
  a.href = state.url;
  a.download = name;
  a.removeAttribute('aria-disabled');
  $('play').disabled = false;
  $('stop').disabled = false;
}

// ---- recordings --------------------------------------------------------------

// The first bytes of the audio files browsers decode (WAV, FLAC, Ogg, MP3
// with or without its tag, AIFF, MP4/M4A, WebM). No tape image the program
// reads starts so.
const startsWith = (b, i, text) => b.length >= i + text.length && [...text].every((c, k) => b[i + k] === c.charCodeAt(0));
const isWav = (b) => startsWith(b, 0, 'RIFF') && startsWith(b, 8, 'WAVE');

function looksLikeAudio(b) {
  const at = (i, text) => startsWith(b, i, text);
  return isWav(b) || at(0, 'fLaC') || at(0, 'OggS') || at(0, 'ID3')
    || (at(0, 'FORM') && (at(8, 'AIFF') || at(8, 'AIFC'))) || at(4, 'ftyp') || at(0, '\x1a\x45\xdf\xa3')
    || (b.length > 1 && b[0] === 0xff && (b[1] & 0xe0) === 0xe0);
}

// A recording to read: a WAV (`file`) goes to the program as it is, which
// reads it as the command line does, to the sample; other sound (`bytes`)
// the browser decodes into `pcm`.
function recordingOf(name, source) {
  const stem = safeName(name).replace(/\.[^.]*$/, '') || 'recording';
  return { name, stem, recording: true, direct: Boolean(source.file), ...source };
}

// The file's own sample rate, from its header, so that the browser decodes it
// without resampling; 0 when the header does not say simply.
function fileRate(b) {
  const v = new DataView(b.buffer, b.byteOffset, b.byteLength);
  const at = (i, text) => b.length >= i + text.length && [...text].every((c, k) => b[i + k] === c.charCodeAt(0));
  if (at(0, 'RIFF')) {
    for (let i = 12; i + 16 <= b.length;) {
      const length = v.getUint32(i + 4, true);
      if (at(i, 'fmt ')) return v.getUint32(i + 12, true);
      i += 8 + length + (length & 1);
    }
  }
  if (at(0, 'fLaC') && b.length > 20) return (b[18] << 12) | (b[19] << 4) | (b[20] >> 4);
  if (at(0, 'OggS') && b.length > 27) {
    const p = 27 + b[26];
    if (at(p + 1, 'vorbis') && b.length >= p + 16) return v.getUint32(p + 12, true);
    if (at(p, 'OpusHead')) return 48000;
  }
  return 0;
}

// The samples of an audio file as the browser decodes them, at the file's own
// rate where it is known, its first two channels: { rate, channels }.
async function decodeAudio(bytes) {
  const own = fileRate(bytes);
  const rate = own >= 8000 && own <= 384000 ? own : 48000;
  const context = new OfflineAudioContext(1, 1, rate);
  const buffer = await context.decodeAudioData(bytes.slice().buffer);
  const channels = [];
  // Copies of their own, which can be moved to the worker, made a stretch at
  // a time so that the page keeps drawing.
  const stretch = 1 << 20;
  for (let c = 0; c < Math.min(2, buffer.numberOfChannels); c += 1) {
    const samples = new Float32Array(buffer.length);
    for (let at = 0; at < buffer.length; at += stretch) {
      buffer.copyFromChannel(samples.subarray(at, at + stretch), c, at);
      await new Promise((resolve) => setTimeout(resolve, 0));
    }
    channels.push(samples);
  }
  return { rate: buffer.sampleRate, channels };
}

async function decodes(bytes) {
  try {
    await decodeAudio(bytes);
    return true;
  } catch {
    return false;
  }
}

// The extension of the image a recording is written to: the machine's, and
// for a Commodore tape the kind chosen (a .t64 by default: every program in
// one file).
function imageKind(format) {
  if (format === 'HTP') return '.htp';
  if (format === 'PRG') return $('kind').value;
  return '.cas';
}

const plural = (n, one, many) => `${n.toLocaleString('en-US')} ${n === 1 ? one : many}`;

// A segment or program found, in one line: where it starts, the machine,
// what it is, its size, its checksum and its bytes in doubt.
function itemLine(i) {
  // A name read from tape may hold any byte: shown as the command line shows it.
  const name = i.name.replace(/[^\x20-\x7e]/g, '?');
  let line = `${clock(i.seconds)} ${i.machine}${i.baud ? `, ${i.baud} baud` : ''}: ${i.kind}${name ? ` ${name}` : ''}`;
  if (i.load !== null) line += `, load $${(i.load & 0xffff).toString(16).toUpperCase().padStart(4, '0')}`;
  line += i.length === 0 && i.pulses > 0 ? `, ${plural(i.pulses, 'pulse', 'pulses')}` : `, ${plural(i.length, 'byte', 'bytes')}`;
  if (i.missing) line += `, ${i.missing}`;
  if (i.checksum === 'holds') line += ', checksums hold';
  if (i.checksum === 'fails') line += ', a checksum fails';
  if (i.doubtful.length > 0) {
    // The stretches to re-record: each tenth of a second once.
    const times = [...new Set(i.doubtful.map(clock))];
    const shown = times.slice(0, 5).join(', ');
    line += `, ${plural(i.doubtful.length, 'byte', 'bytes')} in doubt (at ${shown}${times.length > 5 ? ', ...' : ''})`;
  }
  return `${line}.`;
}

function clearRead() {
  $('read').hidden = true;
  $('items').replaceChildren();
  for (const a of $('images').querySelectorAll('a')) URL.revokeObjectURL(a.href);
  $('images').replaceChildren();
  $('kind-row').hidden = true;
}

function showItems(items) {
  $('items').replaceChildren(...items.map((i) => {
    const li = document.createElement('li');
    li.textContent = itemLine(i);
    if (i.doubtful.length > 0 || i.checksum === 'fails') li.className = 'doubt';
    return li;
  }));
  $('read').hidden = false;
}

function offerImages(files) {
  $('images').replaceChildren(...files.map((f) => {
    const li = document.createElement('li');
    const a = document.createElement('a');
    a.className = 'button';
    a.href = URL.createObjectURL(f.blob);
    a.download = f.name;
    a.textContent = `Download ${f.name}`;
    li.append(a);
    return li;
  }));
}

// A run on a recording: a WAV the program reads itself goes to the worker as
// the file, which the worker reads; the samples the browser decoded are moved
// there, and back with its answer (a long recording copied would hold the
// page for a while), so a run ended before it answers takes them along.
async function runOnRecording(rec, request) {
  if (rec.direct) return state.converter.run({ ...request, file: rec.file });
  const { pcm } = rec;
  rec.pcm = null;
  rec.bytes = null;
  const answer = await state.converter.run({ ...request, pcm, giveBack: true }, null, pcm.channels.map((c) => c.buffer));
  if (answer.back?.pcm) rec.pcm = answer.back.pcm;
  return answer;
}

// Reads a recording as `korvax -i REC` alone would, to learn whose tape it
// is, then writes its image: `korvax -i REC -o NAME.EXT -V`, the extension
// the machine's.
async function readRecording(rec, current) {
  setStatus(`Reading ${rec.name}…`);
  state.found = null;
  showChoice();
  showSettingsSummary();
  if (!rec.pcm && !rec.bytes && !rec.file) {
    // A recording's samples went to a worker that was ended mid-run.
    countRun();
    failed('The recording is gone: choose or record it again.');
    return;
  }
  if (!rec.direct && !rec.pcm) {
    try {
      rec.pcm = await decodeAudio(rec.bytes ?? new Uint8Array(await rec.file.arrayBuffer()));
    } catch (e) {
      if (!current()) return;
      countRun();
      failed(`This browser cannot decode ${rec.name} as sound (${e?.message ?? e}).`);
      return;
    }
    if (!current()) return;
  }
  const input = `/work/${rec.stem}.wav`;
  // The program's messages name the files as the user knows them.
  const names = [[input, rec.name], ['/work/', '']];
  const seen = await runOnRecording(rec, { image: input, args: ['-i', input], wav: null });
  if (!current()) return;
  if (seen.type !== 'done') {
    failedToRun(seen);
    return;
  }
  const found = seen.result;
  if (rec.direct && found.status === 4) {
    // A WAV the program cannot read (compressed, say): the browser decodes it.
    rec.direct = false;
    rec.refused = true;
    await readRecording(rec, current);
    return;
  }
  if (found.status !== 0 && found.status !== 8) {
    showMessages(seen, names);
    countRun();
    // 6: the program says what it heard instead (silence, clipping, a level
    // too low); it is its last message.
    if (found.status === 6) failed(named(found.messages.at(-1) ?? 'No tape signal found.', names));
    else failed(statusWords(found.status));
    return;
  }
  // A Commodore tape without a program the ROM wrote is kept as a TAP
  // image only; one whose programs another loader's blocks follow (a turbo
  // loader's game), as a TAP image unless a kind is chosen for it: only a
  // TAP keeps those blocks.
  const commodore = found.format === 'PRG';
  const programs = found.items.some((i) => i.kind === 'program');
  const others = found.items.some((i) => i.kind === "blocks not read as the ROM's");
  if (commodore && programs && !rec.kindChosen) $('kind').value = others ? '.tap' : state.kind;
  $('kind-row').hidden = !commodore || !programs;
  const outName = `${rec.stem}${commodore && !programs ? '.tap' : imageKind(found.format)}`;
  const output = `/work/${outName}`;
  const checks = state.supported.has('-V') ? ['-V'] : [];
  $('command-line').textContent = ['korvax', '-i', rec.name, '-o', outName, ...checks].map(shellWord).join(' ');
  const answer = await runOnRecording(rec, { image: input, args: ['-i', input, '-o', output, ...checks], wav: null, images: true });
  if (!current()) return;
  if (answer.type !== 'done') {
    failedToRun(answer);
    return;
  }
  const r = answer.result;
  countRun();
  // A WAV the program refused, read here through the browser's decoding,
  // has no command line that reads it.
  $('command').hidden = Boolean(rec.refused);
  showMessages(answer, names);
  showItems(r.items);
  offerImages(answer.files);
  const el = $('verdict');
  el.hidden = false;
  if (r.status === 0) {
    el.textContent = `Every byte read is sure${checks.length ? ', and the image written reads back as itself' : ''}.`;
    el.className = 'ok';
  } else if (r.status === 8) {
    el.textContent = 'Written, but some bytes are in doubt: re-record the stretches named below, or keep the image as it is.';
    el.className = 'doubt';
  } else if (r.status === 7) {
    el.textContent = 'Written, but the image does not read back as itself: it may not load.';
    el.className = 'error';
  } else {
    el.hidden = true;
    failed(statusWords(r.status));
    return;
  }
  const machine = r.items[0]?.machine ?? found.description ?? 'tape';
  setStatus(`Read ${rec.name}: a ${machine} tape, ${plural(r.items.length, 'part', 'parts')}; ${plural(answer.files.length, 'image', 'images')} written.`,
    r.status === 0 ? 'ok' : r.status === 8 ? 'doubt' : 'error');
  setResultState('done');
}

// ---- the microphone ------------------------------------------------------------

// Records what the microphone or line input hears, with its level, until
// Stop; then it is read as a recording. Echo cancelling, noise suppression
// and automatic gain would reshape the tape's signal, so they are off.
const mic = { stream: null, context: null, node: null, blocks: [], frames: 0, peak: 0, recent: 0, clipped: 0, frame: 0 };

const dB = (a) => (a > 0 ? 20 * Math.log10(a) : -200);

async function startRecording() {
  $('level-hint').textContent = '';
  try {
    mic.stream = await navigator.mediaDevices.getUserMedia({
      audio: { echoCancellation: false, noiseSuppression: false, autoGainControl: false, channelCount: { ideal: 2 } },
    });
  } catch (e) {
    $('level-hint').textContent = `No microphone or line input to record from (${e?.message ?? e}).`;
    return;
  }
  const rate = mic.stream.getAudioTracks()[0]?.getSettings?.().sampleRate;
  let source;
  try {
    try {
      mic.context = rate ? new AudioContext({ sampleRate: rate }) : new AudioContext();
    } catch {
      mic.context = new AudioContext();
    }
    await mic.context.audioWorklet.addModule(new URL('./capture.js', import.meta.url));
    source = mic.context.createMediaStreamSource(mic.stream);
  } catch (e) {
    for (const t of mic.stream.getTracks()) t.stop();
    mic.context?.close();
    mic.stream = null;
    mic.context = null;
    $('level-hint').textContent = `This browser cannot record here (${e?.message ?? e}).`;
    return;
  }
  mic.node = new AudioWorkletNode(mic.context, 'korvax-capture');
  mic.blocks = [];
  mic.frames = 0;
  mic.peak = 0;
  mic.recent = 0;
  mic.clipped = 0;
  mic.node.port.onmessage = (e) => {
    if (!e.data.channels) return;
    const { channels } = e.data;
    mic.blocks.push(channels);
    mic.frames += channels[0].length;
    for (const c of channels) {
      for (const x of c) {
        const a = Math.abs(x);
        if (a > mic.recent) mic.recent = a;
        if (a >= 0.999) mic.clipped += 1;
      }
    }
  };
  // The node's output is silence; it goes to the speakers only so that the
  // graph runs.
  source.connect(mic.node).connect(mic.context.destination);
  $('mic').dataset.recording = 'true';
  $('record').textContent = 'Stop and read';
  $('record-box').hidden = false;
  mic.frame = requestAnimationFrame(showLevel);
}

// The meter shows the loudest sample since the last frame, falling back
// slowly; the hint says whether the level suits reading.
let lastHint = 0;
function showLevel() {
  mic.peak = Math.max(mic.recent, mic.peak * 0.9);
  mic.recent = 0;
  const level = Math.max(-60, dB(mic.peak));
  const meter = $('level');
  meter.value = level;
  meter.dataset.peak = String(level);
  meter.setAttribute('aria-valuetext', `${Math.round(level)} dB`);
  $('record-time').textContent = clock(mic.context ? mic.frames / mic.context.sampleRate : 0).replace(/\.\d$/, '');
  const now = performance.now();
  if (now - lastHint > 500) {
    lastHint = now;
    let hint = '';
    if (mic.clipped > 0) hint = 'Clipping: turn the player down.';
    else if (mic.frames > 0 && level < -30) hint = 'Too low: turn the player up.';
    else if (mic.frames > 0) hint = 'Level good.';
    mic.clipped = 0;
    $('level-hint').textContent = hint;
  }
  mic.frame = requestAnimationFrame(showLevel);
}

async function stopRecording() {
  cancelAnimationFrame(mic.frame);
  const { node, context, stream } = mic;
  mic.node = null;
  if (node) {
    await new Promise((resolve) => {
      const took = node.port.onmessage;
      node.port.onmessage = (e) => (e.data.flushed ? resolve() : took(e));
      node.port.postMessage('flush');
      setTimeout(resolve, 1000);
    });
  }
  for (const t of stream?.getTracks() ?? []) t.stop();
  const rate = context?.sampleRate ?? 48000;
  await context?.close();
  mic.stream = null;
  mic.context = null;
  $('mic').dataset.recording = 'false';
  $('record').textContent = 'Record a tape';
  $('record-box').hidden = true;
  $('level-hint').textContent = '';
  const count = Math.min(2, Math.max(0, ...mic.blocks.map((b) => b.length)));
  const channels = [];
  for (let c = 0; c < count; c += 1) {
    const all = new Float32Array(mic.frames);
    let at = 0;
    for (const b of mic.blocks) {
      all.set(b[Math.min(c, b.length - 1)], at);
      at += b[0].length;
    }
    channels.push(all);
  }
  mic.blocks = [];
  if (channels.length === 0) {
    $('level-hint').textContent = 'Nothing was recorded.';
    return;
  }
  const name = 'recording.wav';
  state.image = recordingOf(name, { pcm: { rate, channels } });
  $('chosen').textContent = `Recorded: ${clock(mic.frames / rate)}`;
  $('chosen').classList.add('named');
  refresh({ fresh: true });
}

function toggleRecording() {
  if (mic.node) stopRecording();
  else if (!mic.stream) startRecording();
}

// ---- the player ------------------------------------------------------------

function minutes(seconds) {
  if (!Number.isFinite(seconds)) return '0:00';
  const s = Math.floor(seconds);
  return `${Math.floor(s / 60)}:${String(s % 60).padStart(2, '0')}`;
}

function showTime() {
  const a = audio();
  $('time').textContent = `${minutes(a.currentTime)} / ${minutes(a.duration)}`;
}

function play() {
  audio().play().catch((e) => setStatus(`The browser would not play the sound: ${e.message}`, 'error'));
}

function playFrom(seconds) {
  const a = audio();
  a.currentTime = seconds;
  map.update();
  play();
}

const map = new TapeMap(audio(), playFrom);

function wirePlayer() {
  const a = audio();
  $('play').addEventListener('click', () => (a.paused ? play() : a.pause()));
  $('stop').addEventListener('click', () => {
    a.pause();
    a.currentTime = 0;
    showTime();
    map.update();
  });
  a.addEventListener('play', () => ($('play').textContent = 'Pause'));
  a.addEventListener('pause', () => ($('play').textContent = 'Play'));
  a.addEventListener('ended', () => ($('play').textContent = 'Play'));
  for (const ev of ['timeupdate', 'durationchange', 'loadedmetadata', 'emptied', 'seeked']) a.addEventListener(ev, showTime);
}

// ---- start -----------------------------------------------------------------

function wireInputs() {
  $('file').addEventListener('change', (e) => takeFile(e.target.files[0]));
  $('record').addEventListener('click', toggleRecording);
  $('kind').addEventListener('change', () => {
    state.kind = $('kind').value;
    if (state.image) state.image.kindChosen = true;
    refresh();
  });
  for (const s of SETTINGS) $(s.id).addEventListener('change', () => refresh({ fresh: s.id === 'format' }));
  $('settings').addEventListener('submit', (e) => e.preventDefault());
  $('choice-switch').addEventListener('click', () => {
    state.choice = $('choice').dataset.mode === 'recommended' ? 'defaults' : 'recommended';
    putSettings(state.choice === 'defaults' ? defaults() : recommended(state.found));
    refresh();
  });

  // Dropping a file anywhere on the page.
  const drop = $('drop');
  document.addEventListener('dragover', (e) => {
    e.preventDefault();
    drop.classList.add('over');
  });
  document.addEventListener('dragleave', (e) => {
    if (e.relatedTarget === null) drop.classList.remove('over');
  });
  document.addEventListener('drop', (e) => {
    e.preventDefault();
    drop.classList.remove('over');
    const file = e.dataTransfer?.files?.[0];
    if (file) takeFile(file);
  });
}

async function start() {
  wirePlayer();
  wireInputs();
  try {
    state.converter = new Converter();
    await state.converter.ready;
    await readUsage();
  } catch (e) {
    const p = $('loading');
    p.className = 'error';
    p.textContent = `The converter could not be loaded (${e.message ?? e}). Reload the page; if it persists, this browser may lack WebAssembly or module workers.`;
    return;
  }
  showRows();
  $('file').disabled = false;
  $('record').disabled = !(navigator.mediaDevices?.getUserMedia && window.AudioWorkletNode);
  $('loading').hidden = true;
  document.body.dataset.ready = 'true';
}

window.addEventListener('error', (e) => setStatus(`Something went wrong: ${e.message}`, 'error'));
window.addEventListener('unhandledrejection', (e) => setStatus(`Something went wrong: ${e.reason}`, 'error'));

if ('serviceWorker' in navigator && /^https?:$/.test(location.protocol)) {
  navigator.serviceWorker.register('sw.js').catch(() => {
    // Offline use is a bonus; the page works without it.
  });
}

start();
