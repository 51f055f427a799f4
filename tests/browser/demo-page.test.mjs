// The demo plant's operator screen in a real browser: zel-router running the plant, with a
// registry whose BootDir is the repository's demo/ folder, VelmoraServer stand-alone against it,
// and headless Chromium on the page. Drives the plant through the page's own controls (pump,
// setpoint, valve, alarm acknowledgement), then stops the router and starts it again, and
// finally stops the server. Everything started here is stopped on the way out, also on failure.
//
// node demo-page.test.mjs --server PATH --router PATH --demo DIR --screenshot FILE
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { parseArgs } from 'node:util';

const PORT = 42341;
const URL = `http://127.0.0.1:${PORT}/`;
const CHROMIUM = '/usr/bin/chromium';
const WAIT_MS = 15000;

const { values: opt } = parseArgs({
  options: {
    server: { type: 'string' },
    router: { type: 'string' },
    demo: { type: 'string' },
    screenshot: { type: 'string' },
  },
});
for (const name of ['server', 'router', 'demo', 'screenshot']) {
  if (!opt[name]) throw new Error(`--${name} is required`);
}

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch {
  console.error('playwright-core is not installed: run scripts/bootstrap test (npm ci in tests/browser)');
  process.exit(1);
}
if (!fs.existsSync(CHROMIUM)) {
  console.error(`${CHROMIUM} is missing: run scripts/bootstrap test (apt-get install chromium)`);
  process.exit(1);
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function until(what, check, ms = WAIT_MS) {
  const end = Date.now() + ms;
  for (;;) {
    if (await check()) return;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(50);
  }
}

function portAnswers() {
  return new Promise((resolve) => {
    const s = net.connect({ host: '127.0.0.1', port: PORT });
    s.once('connect', () => { s.destroy(); resolve(true); });
    s.once('error', () => resolve(false));
  });
}

// A child process that is stopped with SIGTERM, then SIGKILL if it lingers.
class Child {
  constructor(name, file, args, env) {
    this.name = name;
    this.output = '';
    this.proc = spawn(file, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
    this.exited = new Promise((resolve) => this.proc.once('exit', (code, sig) => resolve(code ?? sig)));
    this.proc.once('error', (err) => { this.output += String(err); });
    for (const stream of [this.proc.stdout, this.proc.stderr]) {
      stream.on('data', (d) => { this.output += d; });
    }
  }
  running() { return this.proc.exitCode === null && this.proc.signalCode === null; }
  async stop() {
    if (!this.running()) return this.exited;
    this.proc.kill('SIGTERM');
    const timer = setTimeout(() => this.proc.kill('SIGKILL'), 5000);
    const status = await this.exited;
    clearTimeout(timer);
    return status;
  }
}

const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-browser-'));
const socket = path.join(tmp, 'zel-router.sock');
const routerLog = path.join(tmp, 'zel.log');
const children = [];
let context;

async function cleanUp() {
  if (context) await context.close().catch(() => {});
  for (const c of children.reverse()) await c.stop();
  fs.rmSync(tmp, { recursive: true, force: true });
}

// The whole run is bounded, whatever hangs.
const guard = setTimeout(async () => {
  console.error('browser test: overall time limit reached');
  await cleanUp();
  process.exit(1);
}, 90000);

const text = (page, sel) => page.textContent(sel).then((t) => t.trim());
const number = (page, sel) => text(page, sel).then((t) => parseFloat(t.replace(/,/g, '')));

// The router, on the test's socket, running the plant; its log shows what reached the link.
function startRouter(log) {
  const router = new Child('zel-router', opt.router,
    ['--socket', socket, '--registry', path.join(tmp, 'registry.ini'), '--log', log,
     '--runtime', 'plant']);
  children.push(router);
  return router;
}

try {
  assert.equal(await portAnswers(), false, `port ${PORT} is already in use`);

  const bootDir = path.resolve(opt.demo) + '/';
  // The demo's registry, with the test's folders.
  const registry = fs.readFileSync(path.join(opt.demo, 'registry.ini.in'), 'utf8')
    .replace('@VALUES@', `InstallDir=${tmp}/\nBootDir=${bootDir}`);
  fs.writeFileSync(path.join(tmp, 'registry.ini'), registry);

  let router = startRouter(routerLog);
  await until('the router socket', () => fs.existsSync(socket) || !router.running());
  assert.ok(router.running(), `zel-router ended: ${router.output}`);

  const server = new Child('VelmoraServer', opt.server, ['-t'], { ZEL_ROUTER_SOCKET: socket });
  children.push(server);
  await until(`port ${PORT}`, async () => !server.running() || await portAnswers());
  assert.ok(server.running(), `VelmoraServer ended: ${server.output}`);

  const profile = path.join(tmp, 'chromium-profile');
  context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--disable-quic'],
    viewport: { width: 1280, height: 800 },
  });
  const page = context.pages()[0] ?? await context.newPage();
  page.setDefaultTimeout(WAIT_MS);

  // Every static file the page needs, with its content type; nothing from elsewhere.
  const types = {};
  const foreign = [];
  page.on('request', (r) => { if (!r.url().startsWith(URL)) foreign.push(r.url()); });
  page.on('response', (r) => { types[new globalThis.URL(r.url()).pathname] = r.headers()['content-type']; });
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(String(e)));

  await page.goto(URL);
  assert.deepEqual(
    { html: types['/'], js: types['/app.js'], css: types['/style.css'], svg: types['/logo.svg'] },
    { html: 'text/html', js: 'application/javascript', css: 'text/css', svg: 'image/svg+xml' });

  // Values arrive, live, and move on.
  await page.waitForFunction(() => document.getElementById('link-state').textContent === 'Live');
  assert.match(await text(page, '#session'), /^Session 1 · exchange buffer 50000 bytes · address IPv4:::1\|$/);
  assert.match(await text(page, '#level'), /^\d+\.\d %$/);
  assert.match(await text(page, '#temperature'), /^\d+\.\d °C$/);
  assert.match(await text(page, '#outflow'), /^\d+\.\d m³\/h$/);
  const first = { level: await text(page, '#level'), time: await text(page, '#plant-time'),
                  parts: await number(page, '#parts') };
  await page.waitForFunction((f) => document.getElementById('level').textContent !== f.level
      && document.getElementById('plant-time').textContent !== f.time
      && Number(document.getElementById('parts').textContent) > f.parts, first);
  assert.match(await text(page, '#rtt'), /^\d+\.\d ms$/);
  await until('a few exchanges a second', async () => await number(page, '#rate') >= 1);

  // Pump off, then on: the level rises within a few seconds.
  await page.click('#pump-stop');
  await page.waitForFunction(() => document.getElementById('pump-state').textContent === 'Stopped');
  assert.match(await text(page, '#command-status'), /P-101 stopped/);
  await page.click('#pump-start');
  await page.waitForFunction(() => document.getElementById('pump-state').textContent === 'Running');
  const before = await number(page, '#level');
  await until('the level to rise', async () => await number(page, '#level') > before + 2, 5000);

  // A setpoint write is read back, and exactly its bytes reached the runtime.
  await page.fill('#setpoint-input', '60');
  await page.click('#setpoint-set');
  await page.waitForFunction(() => document.getElementById('setpoint').textContent === '60.0 °C');
  assert.match(fs.readFileSync(routerLog, 'utf8'),
    /target=\S+:851 group=42 offset=42 read=50000 write=6 data=020400007042 status=0 answer=56/);

  // Valve shut with the pump running: the high level alarm comes, and is acknowledged.
  await page.fill('#valve-input', '0');
  await page.click('#valve-set');
  const row = '#alarms tr[data-alarm="LAH-101"]';
  await page.waitForSelector(row, { timeout: 20000 });
  assert.match(await text(page, `${row} td:nth-child(3)`), /^Active, unacknowledged$/);
  assert.equal(await page.getAttribute('#tank', 'class'), 'tank alarm');
  await page.click(`${row} button.ack`);
  await page.waitForFunction((sel) => document.querySelector(sel + ' td:nth-child(3)')
      ?.textContent === 'Active, acknowledged', row);
  assert.equal(await page.$(`${row} button.ack`), null);

  await page.click('#trend-window button[data-minutes="1"]');
  await page.waitForTimeout(600); // one more poll after the acknowledgement
  await page.screenshot({ path: opt.screenshot, fullPage: true });

  // A value out of range is refused on the page and nothing is sent: the
  // runtime gets no write.
  const writes = () => fs.readFileSync(routerLog, 'utf8').split('\n')
    .filter((l) => / write=6 data=02/.test(l)).length;
  const written = writes();
  await page.fill('#setpoint-input', '150');
  await page.click('#setpoint-set');
  assert.match(await text(page, '#command-status'), /enter a number from 5 to 90/);
  await page.waitForTimeout(600);
  assert.equal(await text(page, '#setpoint'), '60.0 °C');
  assert.equal(writes(), written);

  // The router gone: values marked stale, controls off, said plainly.
  assert.equal(await router.stop(), 0);
  await page.waitForFunction(() => document.getElementById('link-state').textContent === 'Stale');
  assert.match(await text(page, '#link-banner'), /^Values are stale: no data from the PLC runtime since \d\d:\d\d:\d\d \(the PLC runtime does not answer\)/);
  assert.equal(await page.evaluate(() => document.body.classList.contains('stale')), true);
  assert.equal(await page.isDisabled('#pump-start'), true);

  // The router back: the page opens the session again ("AB" makes the server ask the router
  // for the local address) and the values return, from a freshly started plant.
  const routerLog2 = path.join(tmp, 'zel-2.log');
  router = startRouter(routerLog2);
  await page.waitForFunction(() => document.getElementById('link-state').textContent === 'Live');
  assert.equal(await page.evaluate(() => document.body.classList.contains('stale')), false);
  assert.equal(await page.isHidden('#link-banner'), true);
  assert.equal(await text(page, '#setpoint'), '45.0 °C');
  const log2 = fs.readFileSync(routerLog2, 'utf8');
  assert.ok(log2.indexOf('local-address status=0') >= 0 &&
            log2.indexOf('local-address status=0') < log2.indexOf('read-write'), log2);

  // The server gone: the page says that the server does not answer.
  assert.equal(await server.stop(), 0);
  await page.waitForFunction(() => document.getElementById('link-banner').textContent
      .includes('the server does not answer'));

  assert.deepEqual(foreign, []);
  assert.deepEqual(pageErrors, []);
  console.log(`browser test passed; screenshot ${opt.screenshot}`);
  clearTimeout(guard);
  await cleanUp();
} catch (err) {
  clearTimeout(guard);
  console.error('browser test failed:', err);
  for (const c of children) if (c.output) console.error(`--- ${c.name} output ---\n${c.output}`);
  await cleanUp();
  process.exit(1);
}
