// The map of the tape: the signal's timeline drawn from the marks the program
// reports (where each leader, sync, header, data block and pause starts in
// the WAV, and each program's name), with a cursor at the playing position.
//
// The track is a slider: a click or a drag, or the arrow keys, move the
// playing position. Each program (or, on a tape without program names, each
// block with a header, from its leader on) is a button that plays from its
// start, the place to start the player for that load.

// m:ss.s, as the command line's timetable writes times.
export function clock(seconds) {
  const tenths = Math.floor(Math.max(0, seconds) * 10 + 0.5);
  return `${Math.floor(tenths / 600)}:${String(Math.floor(tenths / 10) % 60).padStart(2, '0')}.${tenths % 10}`;
}

// The kinds of mark that start a stretch of the picture, in the legend's
// words and order; a program mark names the stretches that follow it.
const KINDS = {
  'lead-in': 'lead-in',
  leader: 'leader',
  sync: 'sync',
  header: 'header',
  data: 'data',
  pause: 'pause',
};

// The stretches of the tape and the places worth starting from, out of the
// program's marks and the WAV's length.
export function readMarks(marks, duration) {
  const sorted = marks.map((m, i) => ({ ...m, i })).sort((a, b) => a.seconds - b.seconds || a.i - b.i);
  const stretches = sorted.filter((m) => m.kind in KINDS);
  const segments = stretches.map((m, i) => ({
    kind: m.kind,
    label: m.label,
    start: m.seconds,
    end: i + 1 < stretches.length ? stretches[i + 1].seconds : endOf(sorted, duration),
  })).filter((s) => s.end > s.start);

  let parts = [];
  const programs = sorted.filter((m) => m.kind === 'program');
  if (programs.length > 0) {
    parts = programs.map((m, i) => ({ name: m.label || `Program ${i + 1}`, start: m.seconds }));
  } else {
    // No names: each block with a header is a place to start, from the
    // leader (and sync, and lead-in) before it, which the machine needs.
    let n = 0;
    stretches.forEach((m, i) => {
      if (m.kind !== 'header') return;
      let from = i;
      while (from > 0 && ['lead-in', 'leader', 'sync'].includes(stretches[from - 1].kind)) from -= 1;
      n += 1;
      parts.push({ name: m.label || `Block ${n}`, start: stretches[from].seconds });
    });
  }
  const end = endOf(sorted, duration);
  parts = parts.map((p, i) => ({ ...p, end: i + 1 < parts.length ? parts[i + 1].start : end }));
  return { segments, parts, end };
}

function endOf(sorted, duration) {
  const end = sorted.find((m) => m.kind === 'end');
  return end ? end.seconds : duration;
}

// The map's elements, found by id, and the audio element it follows.
export class TapeMap {
  constructor(audio, playFrom) {
    const $ = (id) => document.getElementById(id);
    this.audio = audio;
    this.playFrom = playFrom;
    this.root = $('map');
    this.track = $('map-track');
    this.segmentsEl = $('map-segments');
    this.cursor = $('map-cursor');
    this.bands = $('map-bands');
    this.partsEl = $('map-parts');
    this.partsTitle = $('h-parts');
    this.legend = $('map-legend');
    this.timetable = $('timetable');
    this.endEl = $('map-end');
    this.duration = 0;
    this.segments = [];
    this.parts = [];
    this.frame = 0;
    this.reducedMotion = window.matchMedia('(prefers-reduced-motion: reduce)');
    this.wire();
  }

  clear() {
    this.root.hidden = true;
    this.duration = 0;
    this.segments = [];
    this.parts = [];
    this.stopFollowing();
  }

  // Draws the tape of `marks`, `duration` seconds of sound.
  show(marks, duration) {
    if (!(duration > 0)) {
      this.clear();
      return;
    }
    const { segments, parts } = readMarks(marks, duration);
    this.duration = duration;
    this.segments = segments;
    this.parts = parts;
    const at = (s) => `${((100 * s) / duration).toFixed(4)}%`;
    const span = (a, b) => `${((100 * (b - a)) / duration).toFixed(4)}%`;

    this.segmentsEl.replaceChildren(...segments.map((s) => {
      const el = document.createElement('div');
      el.className = `seg ${s.kind}`;
      el.style.left = at(s.start);
      el.style.width = span(s.start, s.end);
      el.title = `${clock(s.start)} ${s.kind}${s.label ? ` (${s.label})` : ''}`;
      return el;
    }));

    this.bands.replaceChildren(...parts.map((p) => {
      const el = document.createElement('div');
      el.className = 'band';
      el.style.left = at(p.start);
      el.style.width = span(p.start, p.end);
      el.textContent = p.name;
      el.title = `${p.name}, from ${clock(p.start)}: click to play from here`;
      el.dataset.seconds = String(p.start);
      return el;
    }));
    this.bands.hidden = parts.length === 0;

    this.partsEl.replaceChildren(...parts.map((p) => {
      const li = document.createElement('li');
      const b = document.createElement('button');
      b.type = 'button';
      b.className = 'part';
      b.dataset.seconds = String(p.start);
      const name = document.createElement('span');
      name.className = 'name';
      name.textContent = p.name;
      const time = document.createElement('span');
      time.className = 'at';
      time.textContent = clock(p.start);
      b.append(name, ' ', time);
      li.append(b);
      return li;
    }));
    this.partsEl.hidden = parts.length === 0;
    this.partsTitle.hidden = parts.length === 0;

    const kinds = Object.keys(KINDS).filter((k) => segments.some((s) => s.kind === k));
    this.legend.replaceChildren(...kinds.map((k) => {
      const li = document.createElement('li');
      const swatch = document.createElement('span');
      swatch.className = `swatch ${k}`;
      li.append(swatch, KINDS[k]);
      return li;
    }));

    // The same lines as the command line's timetable.
    this.timetable.textContent = marks.map((m) => `${clock(m.seconds)}  ${m.kind}${m.label ? `  ${m.label}` : ''}`).join('\n');
    this.endEl.textContent = clock(duration).replace(/\.\d$/, '');
    this.track.setAttribute('aria-valuemax', duration.toFixed(1));
    this.root.hidden = false;
    this.update();
  }

  // What plays at `t`: the stretch and the program it belongs to.
  describe(t) {
    const seg = this.segments.findLast((s) => s.start <= t) ?? this.segments[0];
    const part = this.parts.findLast((p) => p.start <= t);
    let where = seg ? seg.kind : '';
    if (part) where += `${where ? ' of ' : ''}${part.name}`;
    return `${clock(t)} of ${clock(this.duration)}${where ? `: ${where}` : ''}`;
  }

  // Moves the cursor to the audio's position.
  update() {
    if (!this.duration) return;
    const t = Math.min(this.audio.currentTime || 0, this.duration);
    this.cursor.style.left = `${((100 * t) / this.duration).toFixed(4)}%`;
    this.track.setAttribute('aria-valuenow', t.toFixed(1));
    this.track.setAttribute('aria-valuetext', this.describe(t));
  }

  // While the sound plays, the cursor moves every frame; with reduced motion
  // asked for, only as the audio reports its time (a few times a second).
  follow() {
    this.stopFollowing();
    if (this.reducedMotion.matches) return;
    const step = () => {
      this.update();
      this.frame = requestAnimationFrame(step);
    };
    this.frame = requestAnimationFrame(step);
  }

  stopFollowing() {
    if (this.frame) cancelAnimationFrame(this.frame);
    this.frame = 0;
  }

  seek(t) {
    if (!this.duration) return;
    this.audio.currentTime = Math.max(0, Math.min(t, this.duration));
    this.update();
  }

  timeAtPointer(event) {
    const box = this.track.getBoundingClientRect();
    return ((event.clientX - box.left) / box.width) * this.duration;
  }

  wire() {
    const a = this.audio;
    a.addEventListener('play', () => this.follow());
    for (const ev of ['pause', 'ended', 'emptied']) a.addEventListener(ev, () => this.stopFollowing());
    for (const ev of ['timeupdate', 'seeked']) a.addEventListener(ev, () => this.update());

    // A program: play from its start.
    this.partsEl.addEventListener('click', (e) => {
      const b = e.target.closest('button[data-seconds]');
      if (b) this.playFrom(Number(b.dataset.seconds));
    });
    this.bands.addEventListener('click', (e) => {
      const band = e.target.closest('[data-seconds]');
      if (band) this.playFrom(Number(band.dataset.seconds));
    });

    // The track: a click or a drag moves the position.
    this.track.addEventListener('pointerdown', (e) => {
      if (!this.duration) return;
      this.track.setPointerCapture(e.pointerId);
      this.seek(this.timeAtPointer(e));
    });
    this.track.addEventListener('pointermove', (e) => {
      if (this.track.hasPointerCapture(e.pointerId)) this.seek(this.timeAtPointer(e));
    });
    this.track.addEventListener('keydown', (e) => {
      const t = a.currentTime || 0;
      const steps = { ArrowLeft: -1, ArrowDown: -1, ArrowRight: 1, ArrowUp: 1, PageDown: -10, PageUp: 10 };
      const step = Math.max(1, this.duration / 100);
      let to;
      if (e.key in steps) to = t + steps[e.key] * step;
      else if (e.key === 'Home') to = 0;
      else if (e.key === 'End') to = this.duration;
      else return;
      e.preventDefault();
      this.seek(to);
    });
  }
}
