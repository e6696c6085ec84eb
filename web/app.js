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
  image: null, // { name, path, bytes }
  found: null, // what the program found in the image
  choice: 'recommended', // or 'defaults': which settings a new image gets
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
  run(request, onProgress) {
    if (this.pending) {
      this.settle({ type: 'superseded' });
      this.replace();
    }
    const id = this.nextId++;
    return new Promise((resolve) => {
      this.pending = { id, resolve, onProgress };
      this.ready.then(
        () => { if (this.pending?.id === id) this.worker.postMessage({ type: 'run', id, ...request }); },
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

// What the program said: what option parsing printed (on standard error, for
// now), then the run's own messages.
function showMessages(answer) {
  const lines = [...answer.stderr, ...(answer.result?.messages ?? [])];
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
  const bytes = new Uint8Array(await file.arrayBuffer());
  // Choosing the same file again is a choice too: with the input emptied,
  // the browser tells of it.
  $('file').value = '';
  const name = file.name.split(/[\\/]/).pop();
  state.image = { name, path: `/work/${safeName(name)}`, bytes };
  $('chosen').textContent = name;
  $('chosen').classList.add('named');
  refresh({ fresh: true });
}

let progressTimer = 0;

// Progress shows only for a run longer than a moment.
function startProgress() {
  clearTimeout(progressTimer);
  $('progress').removeAttribute('value');
  $('progress-label').textContent = 'Reading the image…';
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
  setStatus(`Converting ${image.name}…`);
  $('command').hidden = true;
  startProgress();
  try {
    const format = SETTINGS.find((x) => x.id === 'format');
    const seen = await state.converter.run({ image: image.path, bytes: image.bytes, args: ['-i', image.path, ...format.args($('format'))], wav: null });
    if (!current()) return;
    if (seen.type !== 'done') {
      failedToRun(seen);
      return;
    }
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

function failedToRun(answer) {
  if (answer.type === 'superseded') return;
  countRun();
  failed(`The converter stopped unexpectedly (${answer.message}). Choose the file again; if it persists, reload the page.`);
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
