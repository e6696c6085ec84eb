// The page in a real browser: Debian's chromium, headless, driven by
// puppeteer-core, against the built page (build/web/dist) on a local server.
// Every WAV the page offers is compared byte for byte with the command line's
// for the same image and options.
//
//   node web/test/browser.mjs [--bin build/release/korvax] [--dist build/web/dist]
//
// Environment: KORVAX_BIN, KORVAX_DIST, CHROMIUM (default /usr/bin/chromium),
// KORVAX_SCREENSHOT (write a screenshot of the page there).
// Prints "N passed, N failed" and exits non-zero on a failure.
import { execFileSync, spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import puppeteer from 'puppeteer-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '..', '..');

function argument(name, env, fallback) {
  const i = process.argv.indexOf(name);
  if (i > 0 && process.argv[i + 1]) return path.resolve(process.argv[i + 1]);
  return path.resolve(process.env[env] || fallback);
}
const BIN = argument('--bin', 'KORVAX_BIN', path.join(root, 'build/release/korvax'));
const DIST = argument('--dist', 'KORVAX_DIST', path.join(root, 'build/web/dist'));
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const EXAMPLES = path.join(root, 'examples');

const OVERALL_MS = 10 * 60 * 1000;
const STEP_MS = 60 * 1000;
const LONG_STEP_MS = 180 * 1000;

// ---- the harness -----------------------------------------------------------

let passed = 0;
let failed = 0;

function withTimeout(promise, ms, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: no answer within ${ms / 1000} s`)), ms);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

async function test(name, body, ms = STEP_MS) {
  try {
    await withTimeout(Promise.resolve().then(body), ms, name);
    passed += 1;
    console.log(`ok   ${name}`);
  } catch (e) {
    failed += 1;
    console.log(`FAIL ${name}\n     ${String(e?.stack || e).split('\n').slice(0, 4).join('\n     ')}`);
  }
}

function check(cond, message) {
  if (!cond) throw new Error(message);
}

// ---- the command line ------------------------------------------------------

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'korvax-web-'));

// The program's usage text (-h answers it with status 1) and the options it
// lists: the page shows a setting row, and passes -V, only when the program
// has the option.
function usageText() {
  try {
    return execFileSync(BIN, ['-h'], { stdio: ['ignore', 'pipe', 'pipe'], encoding: 'utf8', timeout: STEP_MS });
  } catch (e) {
    return String(e.stdout) + String(e.stderr);
  }
}
let usage = '';
const lists = (option) => new RegExp(`^${option}\\b`, 'm').test(usage);

// The command line's WAV for an image and options, with -V as the page
// passes it.
function native(image, options) {
  if (lists('-V')) options = [...options, '-V'];
  const out = path.join(scratch, `native-${path.basename(image)}.wav`);
  fs.rmSync(out, { force: true });
  let stderr = '';
  let status = 0;
  try {
    execFileSync(BIN, ['-i', image, '-o', out, ...options], { stdio: ['ignore', 'pipe', 'pipe'], timeout: STEP_MS });
  } catch (e) {
    status = e.status;
    stderr = String(e.stderr);
  }
  // 7: written, but the read-back check finds it wanting; the WAV is kept.
  check(status === 0 || status === 7, `korvax ${options.join(' ')} on ${image}: status ${status} ${stderr}`);
  const wav = fs.readFileSync(out);
  wav.status = status;
  wav.advice = stderr.split('\n').filter((l) => l.trim()).pop();
  return wav;
}

// What the program prints on stderr, whatever its status.
function runForStderr(args) {
  return spawnSync(BIN, args, { stdio: ['ignore', 'ignore', 'pipe'], encoding: 'utf8', timeout: STEP_MS }).stderr;
}

// ---- the server ------------------------------------------------------------

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.wasm': 'application/wasm',
  '.png': 'image/png',
};

function serve(dir) {
  const server = http.createServer((req, res) => {
    const url = new URL(req.url, 'http://localhost');
    let rel = decodeURIComponent(url.pathname);
    if (rel.endsWith('/')) rel += 'index.html';
    const file = path.join(dir, path.normalize(rel));
    if (!file.startsWith(dir) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      res.writeHead(404);
      res.end('not found');
      return;
    }
    res.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream', 'Cache-Control': 'no-cache' });
    fs.createReadStream(file).pipe(res);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// ---- made-up images --------------------------------------------------------

// A Commodore TAP version 1 image of about `seconds` of pulses (C64 PAL:
// 123,156 units of 8 cycles a second), in the three pulse lengths of the
// ROM loader.
function longTap(seconds) {
  const units = [0x30, 0x42, 0x56];
  const perSecond = 123156;
  const bytes = [];
  let total = 0;
  for (let i = 0; total < seconds * perSecond; i += 1) {
    const u = units[(i * 7 + (i >> 3)) % 3];
    bytes.push(u);
    total += u;
  }
  const header = Buffer.alloc(20);
  header.write('C64-TAPE-RAW', 0, 'latin1');
  header[12] = 1;
  header.writeUInt32LE(bytes.length, 16);
  return Buffer.concat([header, Buffer.from(bytes)]);
}

// ---- the page --------------------------------------------------------------

// What the page shows after its latest run.
function pageResult(page) {
  return page.evaluate(() => ({
    state: document.getElementById('result').dataset.state,
    runs: Number(document.getElementById('result').dataset.runs),
    seconds: Number(document.getElementById('result').dataset.seconds),
    status: document.getElementById('status').textContent,
    messages: document.getElementById('messages').textContent,
    verdict: document.getElementById('verdict').hidden ? null : document.getElementById('verdict').textContent,
    href: document.getElementById('download').getAttribute('href'),
    download: document.getElementById('download').getAttribute('download'),
    hint: document.querySelector('#recommended li.current')?.dataset.kind ?? null,
  }));
}

async function openPage(page, base) {
  await page.goto(base, { waitUntil: 'load' });
  await page.waitForSelector('body[data-ready="true"]', { timeout: STEP_MS });
}

// Chooses a file through the file input and waits for the page's answer.
async function upload(page, file) {
  const before = (await pageResult(page)).runs;
  const input = await page.$('#file');
  await input.uploadFile(file);
  await page.waitForFunction(
    (n) => Number(document.getElementById('result').dataset.runs) > n && document.getElementById('result').dataset.state !== 'busy',
    { timeout: LONG_STEP_MS }, before);
  return pageResult(page);
}

// Sets the page's controls as a user would; each change converts again.
async function applySettings(page, settings) {
  for (const [id, value] of Object.entries(settings)) {
    if (typeof value === 'boolean') {
      const checked = await page.$eval(`#${id}`, (el) => el.checked);
      if (checked !== value) await page.click(`#${id}`);
    } else if (await page.$eval(`#${id}`, (el) => el.tagName === 'SELECT')) {
      await page.select(`#${id}`, value);
    } else {
      await page.click(`#${id}`, { clickCount: 3 });
      await page.keyboard.type(value);
      await page.keyboard.press('Tab');
    }
  }
  await page.waitForFunction(() => document.getElementById('result').dataset.state !== 'busy', { timeout: LONG_STEP_MS });
  return pageResult(page);
}

// The WAV behind the download link, as bytes.
async function offeredWav(page) {
  const b64 = await page.evaluate(async () => {
    const blob = await (await fetch(document.getElementById('download').href)).arrayBuffer();
    const bytes = new Uint8Array(blob);
    let s = '';
    for (let i = 0; i < bytes.length; i += 0x8000) s += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    return btoa(s);
  });
  return Buffer.from(b64, 'base64');
}

async function offeredWavDigest(page) {
  return page.evaluate(async () => {
    const blob = await (await fetch(document.getElementById('download').href)).arrayBuffer();
    const d = new Uint8Array(await crypto.subtle.digest('SHA-256', blob));
    return { size: blob.byteLength, sha256: Array.from(d, (x) => x.toString(16).padStart(2, '0')).join('') };
  });
}

async function audioDuration(page) {
  await page.waitForFunction(() => document.getElementById('audio').readyState >= 1, { timeout: STEP_MS });
  return page.$eval('#audio', (a) => a.duration);
}

function sameBytes(a, b, what) {
  if (a.equals(b)) return;
  let i = 0;
  while (i < a.length && i < b.length && a[i] === b[i]) i += 1;
  throw new Error(`${what}: page ${a.length} bytes, command line ${b.length} bytes, first difference at byte ${i}`);
}

// Data bytes over the rate, from the WAV's own header.
function wavSeconds(wav) {
  return wav.readUInt32LE(40) / wav.readUInt32LE(24);
}

// ---- the cases -------------------------------------------------------------

// Each image: what its detection line names, the recommended-settings hint
// the page marks for it, and lines the page must show besides.
const IMAGES = [
  { file: 'hello.cas', machine: 'TRS-80', hint: 'trs80' },
  { file: 'hello-fast.cas', machine: 'TRS-80', hint: 'trs80', extra: [/^TRS-80 high-speed tape \(1500 baud\)\.$/m] },
  { file: 'hello.htp', machine: 'Homelab', hint: 'homelab' },
  { file: 'hello-cgenie.cas', machine: 'Colour Genie', hint: 'cgenie' },
  { file: 'hello.tap', machine: 'Commodore low level', hint: 'tap01', extra: [/^TAP version : 1$/m] },
  { file: 'hello2.t64', machine: 'Commodore program file', hint: 'prg',
    extra: [/^Program file : T64$/m, /^Program : HELLO, start \$0801, end \$0826$/m, /^Program : BORDER, start \$C000, end \$C00A$/m] },
];

const SETTINGS = [
  { name: 'defaults', page: {}, cli: [] },
  { name: '-s 22050 -g 8 -n', page: { rate: '22050', gain: '8', invert: true }, cli: ['-s', '22050', '-g', '8', '-n'] },
  { name: '-f 3 -b 1500', page: { format: '3', speed: '1500' }, cli: ['-f', '3', '-b', '1500'], only: 'hello.cas' },
];

// Images or settings the program refuses: its message and the page's words.
const TAP_HEADER = Buffer.concat([Buffer.from('C64-TAPE-RAW', 'latin1'), Buffer.from([1, 0])]);
const REFUSED = [
  { name: 'not a tape image', file: 'notes.cas', bytes: Buffer.from('just some text, not a tape\n'),
    says: 'Unknown/unsupported tape image file.', words: /not a tape image the program knows/ },
  { name: 'TAP header cut short', file: 'cut.tap', bytes: TAP_HEADER,
    says: 'unexpected End of File!', words: /damaged/ },
  { name: 'sample rate out of range', file: 'hello.cas', settings: { rate: '7000' },
    says: 'Unsupported sample rate: 7000.', words: /sample rate is not supported/ },
];

async function main() {
  check(fs.existsSync(BIN), `no command-line program at ${BIN}`);
  check(fs.existsSync(path.join(DIST, 'korvax.wasm')), `no built page in ${DIST}`);
  usage = usageText();
  check(/^-s\b/m.test(usage), `no usage text from ${BIN} -h`);
  const server = await serve(DIST);
  const base = `http://127.0.0.1:${server.address().port}/`;
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'korvax-chromium-'));
  const browser = await withTimeout(puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    userDataDir: profile,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--autoplay-policy=no-user-gesture-required'],
  }), STEP_MS, 'starting chromium');
  const page = await browser.newPage();
  await page.setViewport({ width: 800, height: 900 });
  const consoleErrors = [];
  page.on('pageerror', (e) => consoleErrors.push(String(e)));

  try {
    // Setting rows are shown exactly for the options of the program's usage.
    await test('the page loads with a setting row per option the program lists', async () => {
      await openPage(page, base);
      const rows = await page.$$eval('[data-option]', (els) => els.map((el) => ({ option: el.dataset.option, shown: !el.hidden })));
      for (const row of rows) {
        const listed = lists(row.option);
        check(row.shown === listed, `row ${row.option}: shown ${row.shown}, listed in usage ${listed}`);
      }
    });

    for (const image of IMAGES) {
      const file = path.join(EXAMPLES, image.file);
      for (const setting of SETTINGS.filter((x) => !x.only || x.only === image.file)) {
        await test(`${image.file}, ${setting.name}: same WAV as the command line`, async () => {
          await openPage(page, base);
          let r = await upload(page, file);
          // Every line the command line prints for the image alone (its
          // detection and what the reader reports) is on the page.
          const said = runForStderr(['-i', file]).split('\n').filter((l) => l.trim() && !/^Error creating output file/.test(l));
          const detection = said.find((l) => l.startsWith('Supported format detected:'));
          check(detection && detection.includes(image.machine), `command line detects ${image.file} as: ${detection}`);
          for (const line of said) check(r.messages.includes(line), `page shows "${r.messages}", without "${line}"`);
          for (const want of image.extra ?? []) check(want.test(r.messages), `page lacks ${want}: ${r.messages}`);
          check(r.hint === image.hint, `recommended settings marked for ${image.file}: ${r.hint}, wanted ${image.hint}`);
          r = await applySettings(page, setting.page);
          check(r.state === 'done', `page state ${r.state}: ${r.status}`);
          check(r.download === `${image.file}.wav`, `download name ${r.download}`);
          const wav = await offeredWav(page);
          const expected = native(file, setting.cli);
          sameBytes(wav, expected, `${image.file} ${setting.name}`);
          const duration = await audioDuration(page);
          const seconds = wavSeconds(expected);
          check(Math.abs(duration - seconds) < 0.005, `audio duration ${duration} s, data bytes / rate ${seconds} s`);
          check((r.verdict !== null) === lists('-V'), `read-back verdict shown: ${r.verdict}`);
          if (r.verdict !== null && expected.status === 0) check(/reads back as the image/.test(r.verdict) && !/does not/.test(r.verdict), `verdict: ${r.verdict}`);
          if (r.verdict !== null && expected.status === 7) check(/does not read back/.test(r.verdict) && r.verdict.includes(expected.advice), `verdict: ${r.verdict}, program: ${expected.advice}`);
        });
      }
    }

    for (const bad of REFUSED) {
      await test(`refused: ${bad.name}`, async () => {
        await openPage(page, base);
        let file = path.join(EXAMPLES, bad.file);
        if (bad.bytes) {
          file = path.join(scratch, bad.file);
          fs.writeFileSync(file, bad.bytes);
        }
        let r = await upload(page, file);
        if (bad.settings) r = await applySettings(page, bad.settings);
        check(r.state === 'error', `page state ${r.state}: ${r.status}`);
        check(r.messages.includes(bad.says), `page messages "${r.messages}" lack "${bad.says}"`);
        check(bad.words.test(r.status), `page status "${r.status}" lacks ${bad.words}`);
        check(r.href === null, 'a download is offered after a refusal');
      });
    }

    await test('an image dropped on the page is converted like a chosen one', async () => {
      await openPage(page, base);
      const file = path.join(EXAMPLES, 'hello.htp');
      await page.evaluate((b64, name) => {
        const bytes = Uint8Array.from(atob(b64), (c) => c.charCodeAt(0));
        const data = new DataTransfer();
        data.items.add(new File([bytes], name));
        document.getElementById('status').dispatchEvent(new DragEvent('drop', { dataTransfer: data, bubbles: true, cancelable: true }));
      }, fs.readFileSync(file).toString('base64'), 'hello.htp');
      await page.waitForFunction(() => document.getElementById('result').dataset.state === 'done', { timeout: STEP_MS });
      const r = await pageResult(page);
      check(r.download === 'hello.htp.wav', `download name ${r.download}`);
      sameBytes(await offeredWav(page), native(file, []), 'dropped hello.htp');
    });

    await test('keyboard alone: focus order, play and stop', async () => {
      await openPage(page, base);
      await upload(page, path.join(EXAMPLES, 'hello.htp'));
      await page.evaluate(() => document.activeElement?.blur());
      await page.focus('#file');
      const order = [];
      for (let i = 0; i < 12; i += 1) {
        order.push(await page.evaluate(() => document.activeElement?.id || document.activeElement?.tagName));
        await page.keyboard.press('Tab');
      }
      const visible = await page.$$eval('#settings [data-option]:not([hidden]) select, #settings [data-option]:not([hidden]) input',
        (els) => els.map((el) => el.id));
      const want = ['file', ...visible, 'play', 'stop', 'download'];
      check(want.every((id, i) => order[i] === id), `focus order ${order.join(' ')}, wanted ${want.join(' ')}`);
      await page.focus('#play');
      await page.keyboard.press('Enter');
      await page.waitForFunction(() => !document.getElementById('audio').paused, { timeout: STEP_MS });
      await page.waitForFunction(() => document.getElementById('audio').currentTime > 0.2, { timeout: STEP_MS });
      const shown = await page.$eval('#time', (el) => el.textContent);
      check(/^0:0\d \/ 0:0\d$/.test(shown), `position and duration shown as "${shown}"`);
      await page.focus('#stop');
      await page.keyboard.press('Enter');
      const after = await page.$eval('#audio', (a) => ({ paused: a.paused, at: a.currentTime }));
      check(after.paused && after.at === 0, `after Stop: paused ${after.paused}, at ${after.at} s`);
    });

    await test('five-minute tape: same WAV as the command line, conversion time logged', async () => {
      await openPage(page, base);
      const file = path.join(scratch, 'five-minutes.tap');
      fs.writeFileSync(file, longTap(300));
      const started = Date.now();
      const r = await upload(page, file);
      const wall = (Date.now() - started) / 1000;
      check(r.state === 'done', `page state ${r.state}: ${r.status}`);
      const expected = native(file, []);
      const got = await offeredWavDigest(page);
      const want = createHash('sha256').update(expected).digest('hex');
      check(got.size === expected.length && got.sha256 === want, `page ${got.size} bytes ${got.sha256}, command line ${expected.length} bytes ${want}`);
      const seconds = wavSeconds(expected);
      const duration = await audioDuration(page);
      check(Math.abs(duration - seconds) < 0.005, `audio duration ${duration} s, data bytes / rate ${seconds} s`);
      console.log(`     speed: ${seconds.toFixed(1)} s of audio (${(expected.length / 1e6).toFixed(1)} MB) converted in the page in ${r.seconds.toFixed(3)} s; upload to result ${wall.toFixed(2)} s`);
    }, LONG_STEP_MS);

    if (process.env.KORVAX_SCREENSHOT) {
      await test('screenshot', async () => {
        await openPage(page, base);
        await upload(page, path.join(EXAMPLES, 'hello2.t64'));
        const r = await applySettings(page, { invert: false, rate: '22050' });
        check(r.state === 'done' && /reads back as the image/.test(r.verdict ?? ''), `page state ${r.state}, verdict ${r.verdict}`);
        await page.evaluate(() => document.activeElement?.blur());
        await page.screenshot({ path: process.env.KORVAX_SCREENSHOT, fullPage: true });
      });
    }

    await test('phone screen: nothing wider than 360 px', async () => {
      await page.setViewport({ width: 360, height: 740, isMobile: true, hasTouch: true });
      try {
        await openPage(page, base);
        await upload(page, path.join(EXAMPLES, 'hello.tap'));
        const wide = await page.evaluate(() => [...document.querySelectorAll('body *')]
          .filter((el) => el.getBoundingClientRect().right > document.documentElement.clientWidth + 0.5)
          .map((el) => el.id || el.tagName));
        const scroll = await page.evaluate(() => document.documentElement.scrollWidth);
        check(scroll <= 360 && wide.length === 0, `page ${scroll} px wide; past the edge: ${wide.join(' ')}`);
      } finally {
        await page.setViewport({ width: 800, height: 900 });
      }
    });

    await test('works offline once loaded', async () => {
      await openPage(page, base);
      await page.evaluate(() => navigator.serviceWorker.ready.then(() => true));
      await page.reload({ waitUntil: 'load' });
      await page.waitForFunction(() => navigator.serviceWorker.controller !== null, { timeout: STEP_MS });
      await page.setOfflineMode(true);
      try {
        await openPage(page, base);
        const r = await upload(page, path.join(EXAMPLES, 'hello.cas'));
        check(r.state === 'done', `offline: page state ${r.state}: ${r.status}`);
      } finally {
        await page.setOfflineMode(false);
      }
    });

    await test('no script errors on the page', async () => {
      check(consoleErrors.length === 0, consoleErrors.join('\n'));
    });
  } finally {
    await browser.close().catch(() => {});
    server.close();
    fs.rmSync(profile, { recursive: true, force: true });
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

const overall = setTimeout(() => {
  console.log(`FAIL the whole test: not done within ${OVERALL_MS / 1000} s`);
  console.log(`${passed} passed, ${failed + 1} failed`);
  process.exit(1);
}, OVERALL_MS);

main()
  .catch((e) => {
    failed += 1;
    console.log(`FAIL ${e?.stack || e}`);
  })
  .finally(() => {
    clearTimeout(overall);
    console.log(`${passed} passed, ${failed} failed`);
    process.exit(failed === 0 ? 0 : 1);
  });
