// The page around the command-line program built to WebAssembly. The program
// does all the work; this script only writes the image into the program's
// in-memory file system, runs it with the options a user would type, and
// shows its messages, its exit status in words and the WAV it wrote.
window.korvaxStarted = true;

const $ = (id) => document.getElementById(id);

// One row per setting: the control, the option it becomes, and how. Defaults
// are the controls' own (from the HTML, the command line's defaults); an
// option equal to its default is left out, as a user would. A row whose option
// the program's usage text does not list stays hidden and is never passed.
const SETTINGS = [
  { id: 'format', option: '-f', args: (el) => (el.value === '' ? [] : ['-f', el.value]) },
  { id: 'rate', option: '-s', args: (el) => (el.value === el.defaultValue ? [] : ['-s', el.value.trim()]) },
  { id: 'gain', option: '-g', args: (el) => (el.selectedOptions[0]?.defaultSelected ? [] : ['-g', el.value]) },
  { id: 'invert', option: '-n', args: (el) => (el.checked ? ['-n'] : []) },
  { id: 'speed', option: '-b', args: (el) => (el.value === '' ? [] : ['-b', el.value]) },
];

// Options always passed when the program has them.
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

// Recommended settings, one per kind of image; `matches` reads the program's
// messages, `advice` is what to change when the WAV does not read back.
const KINDS = [
  { kind: 'tap2', matches: (m) => /Commodore/.test(m) && /TAP version : 2\b/.test(m),
    advice: 'For a TAP version 2 image: no invert, and gain 5, 6 or 8.' },
  { kind: 'prg', matches: (m) => /Commodore program file/.test(m),
    advice: 'For a Commodore program file: no invert, and 22050 Hz or more.' },
  { kind: 'tap01', matches: (m) => /Commodore low level tape image/.test(m),
    advice: 'For a TAP version 0 or 1 image: invert, and 22050 Hz or more.' },
  { kind: 'cgenie', matches: (m) => /Colour Genie/.test(m), advice: 'For a Colour Genie image: 22050 Hz or more, or try invert.' },
  { kind: 'homelab', matches: (m) => /Homelab/.test(m), advice: 'For a Homelab image: 44100 Hz or more, or try invert.' },
  { kind: 'trs80', matches: (m) => /TRS-80/.test(m), advice: 'For a TRS-80 image: 22050 Hz or more, or try invert.' },
];
const kindOf = (messages) => KINDS.find((k) => k.matches(messages));

// The one line the program prints when no output is given.
const NO_OUTPUT_LINE = /^Error creating output file or none specified\.$/;

const state = {
  module: null,
  supported: new Set(), // options the usage text lists
  image: null, // { name, path, bytes }
  url: null, // the current WAV's object URL
  runs: 0,
};

// ---- the program -----------------------------------------------------------

const captured = { out: [], err: [] };

async function loadProgram() {
  const { default: createKorvax } = await import('./korvax.js');
  return createKorvax({
    print: (line) => captured.out.push(line),
    printErr: (line) => captured.err.push(line),
  });
}

// Runs the program once, as `korvax ARGS`; returns its status and what it
// printed.
function runProgram(args) {
  const m = state.module;
  captured.out = [];
  captured.err = [];
  const sp = m.stackSave ? m.stackSave() : null;
  let status;
  try {
    status = m.callMain(args);
  } finally {
    if (sp !== null) m.stackRestore(sp);
    flushStreams(m);
  }
  return { status, stdout: captured.out.join('\n'), stderr: captured.err.join('\n') };
}

// A message left without its line break still belongs to this run.
function flushStreams(m) {
  for (const fd of [1, 2]) {
    const stream = m.FS.getStream(fd);
    if (stream?.tty?.ops?.flush) stream.tty.ops.flush(stream.tty);
  }
}

// Which options this build of the program has, from its usage text.
function readUsage() {
  const { stdout, stderr } = runProgram(['-h']);
  const text = `${stdout}\n${stderr}`;
  for (const line of text.split('\n')) {
    const m = /^(-[A-Za-z])\b/.exec(line.trim());
    if (m) state.supported.add(m[1]);
  }
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

function showMessages(text) {
  $('messages').textContent = text.trim() === '' ? '(no messages)' : text;
}

function highlightKind(kind) {
  for (const li of $('recommended').children) li.classList.toggle('current', li.dataset.kind === kind?.kind);
}

function optionArgs() {
  const args = [];
  for (const s of SETTINGS) if (state.supported.has(s.option)) args.push(...s.args($(s.id)));
  for (const a of ALWAYS) if (state.supported.has(a.option)) args.push(...a.args);
  return args;
}

function clearWav() {
  const audio = $('audio');
  audio.pause();
  audio.removeAttribute('src');
  audio.load();
  if (state.url) URL.revokeObjectURL(state.url);
  state.url = null;
  const a = $('download');
  a.removeAttribute('href');
  a.removeAttribute('download');
  a.setAttribute('aria-disabled', 'true');
  $('play').disabled = true;
  $('stop').disabled = true;
  $('play').textContent = 'Play';
  showTime();
}

function unlinkQuietly(path) {
  try {
    state.module.FS.unlink(path);
  } catch {
    // not there
  }
}

// A name the program's file system accepts, with the extension kept (the
// program detects by it).
function safeName(name) {
  const base = name.split(/[\\/]/).pop() || 'image';
  const safe = base.replace(/[^A-Za-z0-9._-]/g, '_');
  return safe === '.' || safe === '..' ? 'image' : safe;
}

async function takeFile(file) {
  if (!file || !state.module) return;
  clearWav();
  if (state.image) unlinkQuietly(state.image.path);
  const bytes = new Uint8Array(await file.arrayBuffer());
  const path = `/work/${safeName(file.name)}`;
  state.module.FS.writeFile(path, bytes);
  state.image = { name: file.name.split(/[\\/]/).pop(), path };
  inspectAndConvert();
}

// The image is looked at first, as `korvax -i NAME` alone would (with the
// forced format, if any); only an image the program takes is converted.
function inspectAndConvert() {
  if (!state.image) return;
  if (inspect()) convert();
}

// What the command line prints for `-i NAME` alone: detection and what the
// reader reports (a TAP image's header, a program file's programs, a TRS-80
// tape's kind).
function inspect() {
  clearWav();
  const format = SETTINGS.find((x) => x.id === 'format');
  const { status, stderr } = runProgram(['-i', state.image.path, ...format.args($(format.id))]);
  const lines = stderr.split('\n').filter((l) => !NO_OUTPUT_LINE.test(l));
  showMessages(lines.join('\n'));
  const ok = status === 0;
  highlightKind(ok ? kindOf(stderr) : null);
  $('verdict').hidden = true;
  $('command').hidden = true;
  if (!ok) {
    state.runs += 1;
    $('result').dataset.runs = String(state.runs);
    failed(`${STATUS_WORDS[status] ?? `The program stopped with status ${status}.`} (status ${status})`);
  }
  return ok;
}

function convert() {
  if (!state.image) return;
  clearWav();
  setResultState('busy');
  setStatus('Converting…');
  const out = `${state.image.path}.wav`;
  unlinkQuietly(out);
  const options = optionArgs();
  const args = ['-i', state.image.path, '-o', out, ...options];
  $('command-line').textContent = ['korvax', '-i', state.image.name, '-o', `${state.image.name}.wav`, ...options].join(' ');
  $('command').hidden = false;

  const started = performance.now();
  let result;
  try {
    result = runProgram(args);
  } catch (e) {
    failed(`The converter stopped unexpectedly (${e}). Reload the page and try again.`);
    return;
  }
  let wav = null;
  try {
    if (result.status === 0 || result.status === 7) wav = state.module.FS.readFile(out);
  } catch {
    wav = null;
  }
  unlinkQuietly(out);
  const seconds = (performance.now() - started) / 1000;
  state.runs += 1;
  $('result').dataset.runs = String(state.runs);
  $('result').dataset.seconds = seconds.toFixed(3);

  showMessages(result.stderr);
  const kind = kindOf(result.stderr);
  highlightKind(kind);
  showVerdict(result, kind, options.includes('-V'));

  if (result.status !== 0 && result.status !== 7) {
    failed(`${STATUS_WORDS[result.status] ?? `The program stopped with status ${result.status}.`} (status ${result.status})`);
    return;
  }
  if (!wav) {
    failed('The program finished but wrote no WAV.');
    return;
  }
  offerWav(wav);
  const kb = Math.round(wav.length / 1024);
  if (result.status === 7) setStatus(`${STATUS_WORDS[7]} The WAV (${kb} KB) is offered all the same. (status 7)`, 'error');
  else setStatus(`Converted in ${seconds.toFixed(2)} s: ${kb} KB of sound, ready to play or download.`, 'ok');
  setResultState('done');
}

function failed(text) {
  setStatus(text, 'error');
  setResultState('error');
}

function showVerdict(result, kind, checked) {
  const el = $('verdict');
  const lines = result.stderr.split('\n').filter((l) => l.trim());
  const at = lines.findIndex((l) => l.startsWith('Read-back check'));
  if (!checked || at < 0 || (result.status !== 0 && result.status !== 7)) {
    el.hidden = true;
    return;
  }
  // The program's verdict line, and after a failure the line that says what
  // to change.
  const [verdict, advice] = lines.slice(at);
  if (result.status === 0) {
    const count = verdict.replace(/^Read-back check: /, '').replace(/, as in the image\.$/, '');
    el.textContent = `The WAV reads back as the image (${count}), so it should load.`;
    el.className = 'ok';
  } else {
    const change = advice ?? (kind ? kind.advice : 'Try a higher sample rate, another gain, or invert.');
    el.textContent = `The WAV does not read back as the image. What to change: ${change} (${verdict.replace(/^Read-back check failed /, 'Failed ')})`;
    el.className = 'error';
  }
  el.hidden = false;
}

function offerWav(wav) {
  const blob = new Blob([wav], { type: 'audio/wav' });
  state.url = URL.createObjectURL(blob);
  $('audio').src = state.url;
  const a = $('download');
  a.href = state.url;
  a.download = `${state.image.name}.wav`;
  a.removeAttribute('aria-disabled');
  $('play').disabled = false;
  $('stop').disabled = false;
}

// ---- the player ------------------------------------------------------------

function clock(seconds) {
  if (!Number.isFinite(seconds)) return '0:00';
  const s = Math.floor(seconds);
  return `${Math.floor(s / 60)}:${String(s % 60).padStart(2, '0')}`;
}

function showTime() {
  const audio = $('audio');
  $('time').textContent = `${clock(audio.currentTime)} / ${clock(audio.duration)}`;
}

function wirePlayer() {
  const audio = $('audio');
  $('play').addEventListener('click', () => {
    if (audio.paused) audio.play().catch((e) => setStatus(`The browser would not play the sound: ${e.message}`, 'error'));
    else audio.pause();
  });
  $('stop').addEventListener('click', () => {
    audio.pause();
    audio.currentTime = 0;
    showTime();
  });
  audio.addEventListener('play', () => ($('play').textContent = 'Pause'));
  audio.addEventListener('pause', () => ($('play').textContent = 'Play'));
  audio.addEventListener('ended', () => ($('play').textContent = 'Play'));
  for (const ev of ['timeupdate', 'durationchange', 'loadedmetadata', 'emptied']) audio.addEventListener(ev, showTime);
}

// ---- start -----------------------------------------------------------------

function wireInputs() {
  $('file').addEventListener('change', (e) => takeFile(e.target.files[0]));
  for (const s of SETTINGS) {
    $(s.id).addEventListener('change', inspectAndConvert);
  }
  $('settings').addEventListener('submit', (e) => e.preventDefault());

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
    state.module = await loadProgram();
    readUsage();
  } catch (e) {
    const p = $('loading');
    p.className = 'error';
    p.textContent = `The converter could not be loaded (${e}). Reload the page; if it persists, this browser may lack WebAssembly.`;
    return;
  }
  for (const s of SETTINGS) {
    const row = document.querySelector(`[data-option="${s.option}"]`);
    if (row) row.hidden = !state.supported.has(s.option);
  }
  state.module.FS.mkdirTree('/work');
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
