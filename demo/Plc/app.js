// Operator screen of the demo plant (zel-router --runtime plant).
//
// Every command is one POST to /Velmora whose body starts with a four-byte command word:
//   "AB"              open the session; the reply is "|buffer size|0|session number|false|"
//   "AD"              ask for the address; the reply is a short text such as "IPv4:::1|"
//   "AC" 0x00 0x00    runtime exchange: the bytes after the word go to the PLC runtime and its
//                     answer comes back unchanged; an empty reply means the runtime did not answer
// The server ends every reply by closing the connection, so each exchange is one fetch.
//
// Runtime exchanges with the plant (little-endian, f32 = IEEE 754 single):
//   01               read all values        answer 81 + state (56 bytes in all)
//   02 item f32      write a setting        answer 81 + state after the write
//   03 mask          acknowledge alarms     answer 81 + state after it
//   refused          answer FF code
// The page polls with one exchange at a time; a write takes the place of the next read.
'use strict';

(function () {
  const SERVICE = '/Velmora';
  const POLL_MS = 250;          // four reads a second while the runtime answers
  const RETRY_MS = 1000;        // one attempt a second while it does not
  const STALE_AFTER_MS = 2000;  // values older than this are stale even before a failure
  const TIMEOUT_MS = 8000;      // longer than the link's own 5 s time-out
  const RATE_WINDOW_MS = 5000;
  const TREND_KEEP_MS = 15 * 60 * 1000;
  const TREND_SAMPLE_MS = 500;

  const ITEM = { pump: 1, valve: 2, heater: 3, setpoint: 4, conveyor: 5, parts: 6 };
  const STATE_ANSWER = 0x81, ERROR_ANSWER = 0xff, STATE_SIZE = 56;
  const REFUSALS = {
    1: 'the request was empty',
    2: 'the runtime does not know this request',
    3: 'the request had the wrong length',
    4: 'the runtime has no such setting',
    5: 'the value is out of range',
    6: 'there is no such alarm',
    7: 'the answer would not fit',
  };
  const ALARMS = [
    { bit: 0, tag: 'LAH-101', text: 'Tank level high' },
    { bit: 1, tag: 'LAL-101', text: 'Tank level low, heater blocked' },
    { bit: 2, tag: 'TAH-102', text: 'Temperature high' },
  ];

  const $ = (id) => document.getElementById(id);
  const encoder = new TextEncoder();
  const decoder = new TextDecoder('utf-8');

  // ---- Command channel ----------------------------------------------------------------------

  class Unreachable extends Error {}

  // Sends one command body; resolves to the reply bytes. Rejects with an Unreachable whose
  // message says in plain words what went wrong.
  async function command(body) {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), TIMEOUT_MS);
    try {
      const response = await fetch(SERVICE, {
        method: 'POST',
        headers: { 'Content-Type': 'application/octet-stream' },
        body: body,
        cache: 'no-store',
        signal: abort.signal,
      });
      if (!response.ok) {
        throw new Unreachable('the server refused the command (HTTP ' + response.status + ')');
      }
      return new Uint8Array(await response.arrayBuffer());
    } catch (err) {
      if (err instanceof Unreachable) throw err;
      if (err.name === 'AbortError') {
        throw new Unreachable('no answer from the server within ' + TIMEOUT_MS / 1000 + ' s');
      }
      throw new Unreachable('the server does not answer (not running or not reachable)');
    } finally {
      clearTimeout(timer);
    }
  }

  function word(text, payload) {
    const body = new Uint8Array(4 + (payload ? payload.length : 0));
    body.set(encoder.encode(text));
    if (payload) body.set(payload, 4);
    return body;
  }

  let address = null;

  async function openSession() {
    const params = decoder.decode(await command(word('AB')));
    const fields = params.split('|');
    if (fields.length !== 6 || fields[0] !== '' || fields[5] !== '') {
      throw new Unreachable('the server sent an unexpected session reply');
    }
    if (address === null) address = decoder.decode(await command(word('AD')));
    $('session').textContent = 'Session ' + fields[3] + ' · exchange buffer ' + fields[1] +
      ' bytes · address ' + address;
  }

  // ---- Plant protocol -----------------------------------------------------------------------

  const readRequest = () => new Uint8Array([0x01]);

  function writeRequest(item, value) {
    const b = new Uint8Array(6);
    const v = new DataView(b.buffer);
    b[0] = 0x02;
    b[1] = item;
    v.setFloat32(2, value, true);
    return b;
  }

  const ackRequest = (mask) => new Uint8Array([0x03, mask]);

  function decodeState(a) {
    const v = new DataView(a.buffer, a.byteOffset, a.byteLength);
    const f = (at) => v.getFloat32(at, true);
    return {
      pump: (a[1] & 1) !== 0,
      heater: (a[1] & 2) !== 0,
      conveyor: (a[1] & 4) !== 0,
      heaterBlocked: (a[1] & 8) !== 0,
      active: a[2],
      unacknowledged: a[3],
      timeMs: v.getUint32(4, true),
      level: f(8),
      inflow: f(12),
      outflow: f(16),
      valveCommand: f(20),
      valvePosition: f(24),
      temperature: f(28),
      setpoint: f(32),
      heaterOutput: f(36),
      parts: v.getUint32(40, true),
      raisedMs: [0, 1, 2].map((i) => v.getUint32(44 + 4 * i, true)),
    };
  }

  // ---- Link state, rate and round trip ------------------------------------------------------

  let plant = null;           // the last state received
  let lastGood = 0;           // when it arrived (performance.now())
  let lastGoodClock = null;   // the same as a wall-clock time
  let stale = true;
  let staleReason = 'connecting to the PLC runtime';
  let sessionOpen = false;
  let exchanges = 0, unanswered = 0;
  const answeredAt = [];      // performance.now() of recent answered exchanges
  const pending = [];         // writes waiting for the next exchange: { bytes, done }

  const pad = (n) => String(n).padStart(2, '0');
  const clockText = (d) => pad(d.getHours()) + ':' + pad(d.getMinutes()) + ':' + pad(d.getSeconds());

  function setStale(reason) {
    stale = true;
    staleReason = reason;
    showLink();
    if (plant) showAlarms(plant);
  }

  function showLink() {
    const pill = $('link-state');
    const banner = $('link-banner');
    document.body.classList.toggle('stale', stale);
    for (const b of document.querySelectorAll('#control-panel button.act, #control-panel input')) {
      b.disabled = stale;
    }
    if (!stale) {
      pill.textContent = 'Live';
      pill.className = 'pill live';
      banner.hidden = true;
      return;
    }
    pill.textContent = plant ? 'Stale' : 'Connecting';
    pill.className = 'pill ' + (plant ? 'stale' : 'wait');
    banner.hidden = false;
    banner.textContent = plant
      ? 'Values are stale: no data from the PLC runtime since ' + clockText(lastGoodClock) +
        ' (' + staleReason + '). The screen shows the last values received; reconnecting\u2026'
      : 'No data yet: ' + staleReason + '\u2026';
  }

  function showFigures(rttMs) {
    const now = performance.now();
    while (answeredAt.length && answeredAt[0] < now - RATE_WINDOW_MS) answeredAt.shift();
    $('rate').textContent = (answeredAt.length / (RATE_WINDOW_MS / 1000)).toFixed(1) + ' /s';
    if (rttMs !== undefined) $('rtt').textContent = rttMs === null ? '\u2013' : rttMs.toFixed(1) + ' ms';
    $('counts').textContent = exchanges + ' exchanges, ' + unanswered + ' without answer';
  }

  // ---- Showing the plant --------------------------------------------------------------------

  const FORMATS = {
    level: (s) => s.level.toFixed(1) + ' %',
    inflow: (s) => s.inflow.toFixed(1) + ' m³/h',
    outflow: (s) => s.outflow.toFixed(1) + ' m³/h',
    valveCommand: (s) => s.valveCommand.toFixed(0) + ' %',
    valvePosition: (s) => s.valvePosition.toFixed(0) + ' %',
    temperature: (s) => s.temperature.toFixed(1) + ' °C',
    setpoint: (s) => s.setpoint.toFixed(1) + ' °C',
    heaterOutput: (s) => s.heaterOutput.toFixed(0) + ' %',
    parts: (s) => s.parts.toLocaleString('en-US'),
  };

  function showState(s) {
    for (const el of document.querySelectorAll('[data-field]')) {
      el.textContent = FORMATS[el.dataset.field](s);
    }
    $('plant-time').textContent = formatDuration(s.timeMs);

    const liquid = $('liquid');
    const h = 256 * Math.min(Math.max(s.level, 0), 100) / 100;
    liquid.setAttribute('y', String(328 - h));
    liquid.setAttribute('height', String(h));

    const levelAlarm = (s.active & 3) !== 0;
    $('tank').classList.toggle('alarm', levelAlarm);
    $('tag-level').classList.toggle('alarm', levelAlarm);
    for (const [bit, id] of [[1, 'high'], [2, 'low']]) {
      $('mark-' + id).classList.toggle('alarm', (s.active & bit) !== 0);
      $('label-' + id).classList.toggle('alarm', (s.active & bit) !== 0);
    }
    $('tag-temperature').classList.toggle('alarm', (s.active & 4) !== 0);

    $('pump').classList.toggle('on', s.pump);
    $('flow-in').classList.toggle('on', s.pump);
    $('flow-out').classList.toggle('on', s.outflow > 0.05);
    $('valve').classList.toggle('on', s.valvePosition > 0.5);
    $('heater').classList.toggle('on', s.heaterOutput > 0.5);
    $('conveyor').classList.toggle('on', s.conveyor);
    showParts(s.parts);

    showSwitch('pump', s.pump, 'Running', 'Stopped');
    showSwitch('heater', s.heater, s.heaterBlocked ? 'Blocked: level low' : 'Control on', 'Off');
    $('heater-state').classList.toggle('warn', s.heater && s.heaterBlocked);
    showSwitch('conveyor', s.conveyor, 'Running', 'Stopped');
    for (const [input, value] of [['valve-input', s.valveCommand], ['setpoint-input', s.setpoint]]) {
      const el = $(input);
      if (document.activeElement !== el && el.dataset.edited !== '1') el.value = String(+value.toFixed(1));
    }
    showAlarms(s);
  }

  function showSwitch(name, on, onText, offText) {
    const state = $(name + '-state');
    state.textContent = on ? onText : offText;
    state.classList.toggle('on', on);
    const [first, second] = { pump: ['start', 'stop'], heater: ['on', 'off'], conveyor: ['start', 'stop'] }[name];
    $(name + '-' + first).classList.toggle('on', on);
    $(name + '-' + second).classList.toggle('on', !on);
  }

  // Parts on the belt move one place per part counted.
  function showParts(count) {
    const g = $('belt-parts');
    if (!g.childElementCount) {
      for (let i = 0; i < 5; ++i) {
        const r = document.createElementNS('http://www.w3.org/2000/svg', 'rect');
        r.setAttribute('width', '16');
        r.setAttribute('height', '14');
        r.setAttribute('y', '337');
        r.setAttribute('rx', '2');
        g.appendChild(r);
      }
    }
    const shift = count % 4;
    Array.from(g.children).forEach((r, i) => {
      r.setAttribute('x', String(24 + (i * 4 + shift) * 9.5));
    });
  }

  function formatDuration(ms) {
    const s = Math.floor(ms / 1000);
    return Math.floor(s / 3600) + ':' + pad(Math.floor(s / 60) % 60) + ':' + pad(s % 60);
  }

  // ---- Alarms -------------------------------------------------------------------------------

  const raisedClock = new Map(); // alarm bit -> { raisedMs, at: Date }

  function showAlarms(s) {
    const rows = [];
    let unacked = 0;
    for (const a of ALARMS) {
      const bit = 1 << a.bit;
      const active = (s.active & bit) !== 0, open = (s.unacknowledged & bit) !== 0;
      if (!active && !open) continue;
      let seen = raisedClock.get(a.bit);
      if (!seen || seen.raisedMs !== s.raisedMs[a.bit]) {
        // Plant time of the raise, turned into this screen's clock.
        seen = { raisedMs: s.raisedMs[a.bit], at: new Date(Date.now() - (s.timeMs - s.raisedMs[a.bit])) };
        raisedClock.set(a.bit, seen);
      }
      if (open) unacked |= bit;
      rows.push({ a, bit, active, open, at: seen.at });
    }
    const tbody = $('alarms').tBodies[0];
    tbody.replaceChildren(...rows.map((r) => {
      const tr = document.createElement('tr');
      tr.dataset.alarm = r.a.tag;
      tr.className = r.active ? (r.open ? 'alarm-new' : 'alarm-acked') : 'alarm-cleared';
      const cell = (...content) => {
        const td = document.createElement('td');
        td.append(...content);
        tr.appendChild(td);
      };
      const tag = document.createElement('span');
      tag.className = 'alarm-tag';
      tag.textContent = r.a.tag;
      cell(clockText(r.at));
      cell(tag, r.a.text);
      cell((r.active ? 'Active' : 'Cleared') + (r.open ? ', unacknowledged' : ', acknowledged'));
      const td = document.createElement('td');
      if (r.open) {
        const b = document.createElement('button');
        b.type = 'button';
        b.className = 'act plain ack';
        b.textContent = 'Ack';
        b.disabled = stale;
        b.addEventListener('click', () => send(ackRequest(r.bit), r.a.tag + ' acknowledged'));
        td.appendChild(b);
      }
      tr.appendChild(td);
      return tr;
    }));
    $('alarms').hidden = rows.length === 0;
    $('no-alarms').hidden = rows.length !== 0;
    $('alarm-count').textContent = String(rows.length);
    $('alarm-count').classList.toggle('open', unacked !== 0);
    const all = $('ack-all');
    all.disabled = stale || unacked === 0;
    all.onclick = () => send(ackRequest(unacked), 'Alarms acknowledged');
  }

  // ---- Trend --------------------------------------------------------------------------------

  const samples = [];        // { t: Date.now(), level, temperature, setpoint } or { t, gap: true }
  let trendMinutes = 5;
  const TOP = 10, BOTTOM = 22, LEFT = 34, RIGHT = 34;
  let TW = 800, TH = 210;

  // Drawn in the element's own pixels, so that text and lines keep their shape.
  function sizeTrend() {
    const svg = $('trend');
    TW = Math.max(svg.clientWidth, 300);
    TH = Math.max(svg.clientHeight, 120);
    svg.setAttribute('viewBox', '0 0 ' + TW + ' ' + TH);
  }

  function sample(s) {
    const now = Date.now();
    const last = samples[samples.length - 1];
    if (last && !last.gap && now - last.t < TREND_SAMPLE_MS) return;
    samples.push({ t: now, level: s.level, temperature: s.temperature, setpoint: s.setpoint });
    while (samples.length && samples[0].t < now - TREND_KEEP_MS) samples.shift();
  }

  function gap() {
    const last = samples[samples.length - 1];
    if (last && !last.gap) samples.push({ t: Date.now(), gap: true });
  }

  function drawTrendGrid() {
    const parts = [];
    const y = (v) => TOP + (TH - TOP - BOTTOM) * (1 - v / 100);
    for (let v = 0; v <= 100; v += 25) {
      parts.push(`<line class="grid" x1="${LEFT}" x2="${TW - RIGHT}" y1="${y(v)}" y2="${y(v)}"/>`,
        `<text class="axis" x="${LEFT - 6}" y="${y(v) + 4}" text-anchor="end">${v}</text>`,
        `<text class="axis" x="${TW - RIGHT + 6}" y="${y(v) + 4}">${v}</text>`);
    }
    const steps = trendMinutes === 1 ? 6 : 5;
    for (let i = 0; i <= steps; ++i) {
      const x = LEFT + (TW - LEFT - RIGHT) * i / steps;
      const ago = Math.round(trendMinutes * 60 * (steps - i) / steps);
      const label = i === steps ? 'now' : '\u2212' + (ago >= 60 ? ago / 60 + ' min' : ago + ' s');
      parts.push(`<line class="grid v" x1="${x}" x2="${x}" y1="${TOP}" y2="${TH - BOTTOM}"/>`,
        `<text class="axis" x="${x}" y="${TH - 6}" text-anchor="middle">${label}</text>`);
    }
    $('trend-grid').innerHTML = parts.join('');
  }

  function drawTrend() {
    const now = Date.now();
    const span = trendMinutes * 60 * 1000;
    const x = (t) => LEFT + (TW - LEFT - RIGHT) * (1 - (now - t) / span);
    const y = (v) => TOP + (TH - TOP - BOTTOM) * (1 - Math.min(Math.max(v, 0), 100) / 100);
    const paths = { level: [], temperature: [], setpoint: [] };
    let pen = false;
    for (const s of samples) {
      if (s.t < now - span) continue;
      if (s.gap) { pen = false; continue; }
      const cmd = pen ? 'L' : 'M';
      for (const k of Object.keys(paths)) paths[k].push(cmd + x(s.t).toFixed(1) + ' ' + y(s[k]).toFixed(1));
      pen = true;
    }
    for (const k of Object.keys(paths)) $('trend-' + k).setAttribute('d', paths[k].join(' '));
  }

  for (const b of document.querySelectorAll('#trend-window button')) {
    b.addEventListener('click', () => {
      trendMinutes = Number(b.dataset.minutes);
      for (const o of document.querySelectorAll('#trend-window button')) o.classList.toggle('on', o === b);
      drawTrendGrid();
      drawTrend();
    });
  }

  // ---- The poll loop ------------------------------------------------------------------------

  function note(kind, text) {
    const el = $('command-status');
    el.className = 'note ' + kind;
    el.textContent = text;
  }

  // Queues a write or an acknowledgement; it goes out as the next exchange.
  function send(bytes, done) {
    if (stale) {
      note('bad', 'Not sent: the PLC runtime is not connected.');
      return;
    }
    pending.push({ bytes, done });
    note('', 'Sending\u2026');
    wake();
  }

  let timer = null;
  let wakeUp = null;
  function wake() {
    if (wakeUp) wakeUp();
  }
  const pause = (ms) => new Promise((resolve) => {
    timer = setTimeout(resolve, ms);
    wakeUp = () => { clearTimeout(timer); resolve(); };
  });

  async function exchangeOnce() {
    exchanges += 1;
    if (!sessionOpen) {
      await openSession();
      sessionOpen = true;
    }
    const job = pending.shift();
    const payload = job ? job.bytes : readRequest();
    const started = performance.now();
    let answer;
    try {
      answer = await command(word('AC', payload));
    } catch (err) {
      if (job) note('bad', 'Not carried out: ' + err.message + '.');
      throw err;
    }
    const rtt = performance.now() - started;
    if (answer.length === 0) {
      if (job) note('bad', 'Not confirmed: the PLC runtime did not answer.');
      throw new Unreachable('the PLC runtime does not answer');
    }
    if (answer[0] === ERROR_ANSWER && answer.length === 2) {
      if (job) {
        note('bad', 'Refused by the PLC runtime: ' + (REFUSALS[answer[1]] || 'code ' + answer[1]) + '.');
      } else {
        throw new Unreachable('the PLC runtime refused the read');
      }
    } else if (answer[0] !== STATE_ANSWER || answer.length !== STATE_SIZE) {
      throw new Unreachable('the PLC runtime sent ' + answer.length +
                            ' bytes this screen does not understand (is it the demo plant?)');
    } else {
      if (job) note('ok', job.done + '.');
      plant = decodeState(answer);
      lastGood = performance.now();
      lastGoodClock = new Date();
      answeredAt.push(lastGood);
      stale = false;
      showState(plant);
      sample(plant);
      drawTrend();
      showLink();
    }
    showFigures(rtt);
  }

  async function loop() {
    for (;;) {
      const started = performance.now();
      try {
        await exchangeOnce();
      } catch (err) {
        unanswered += 1;
        sessionOpen = false;   // open the session again before the next try
        if (pending.length) {  // nothing is carried out later behind the operator's back
          pending.length = 0;
          note('bad', 'Not carried out: ' + err.message + '.');
        }
        gap();
        setStale(err.message);
        showFigures(null);
      }
      const wait = stale ? RETRY_MS : POLL_MS - (performance.now() - started);
      await pause(pending.length ? 0 : Math.max(0, wait));
    }
  }

  // ---- Controls -----------------------------------------------------------------------------

  const click = (id, fn) => $(id).addEventListener('click', fn);
  click('pump-start', () => send(writeRequest(ITEM.pump, 1), 'P-101 started'));
  click('pump-stop', () => send(writeRequest(ITEM.pump, 0), 'P-101 stopped'));
  click('heater-on', () => send(writeRequest(ITEM.heater, 1), 'E-103 temperature control on'));
  click('heater-off', () => send(writeRequest(ITEM.heater, 0), 'E-103 off'));
  click('conveyor-start', () => send(writeRequest(ITEM.conveyor, 1), 'C-104 started'));
  click('conveyor-stop', () => send(writeRequest(ITEM.conveyor, 0), 'C-104 stopped'));
  click('count-reset', () => send(writeRequest(ITEM.parts, 0), 'Part count reset'));

  function numberForm(formId, inputId, item, what, unit) {
    const input = $(inputId);
    input.addEventListener('input', () => { input.dataset.edited = '1'; });
    $(formId).addEventListener('submit', (event) => {
      event.preventDefault();
      const value = input.valueAsNumber;
      const min = Number(input.min), max = Number(input.max);
      if (!Number.isFinite(value) || value < min || value > max) {
        note('bad', what + ': enter a number from ' + min + ' to ' + max + ' ' + unit + '.');
        return;
      }
      input.dataset.edited = '';
      send(writeRequest(item, value), what + ' set to ' + value + ' ' + unit);
    });
  }
  numberForm('valve-form', 'valve-input', ITEM.valve, 'V-102 command', '%');
  numberForm('setpoint-form', 'setpoint-input', ITEM.setpoint, 'E-103 setpoint', '°C');

  // The screen's clock, the figures and the stale watchdog.
  setInterval(() => {
    $('clock').textContent = clockText(new Date());
    if (!stale && performance.now() - lastGood > STALE_AFTER_MS) {
      gap();
      setStale('no answer for ' + STALE_AFTER_MS / 1000 + ' s');
    }
    showFigures();
    drawTrend();
  }, 500);

  sizeTrend();
  drawTrendGrid();
  window.addEventListener('resize', () => { sizeTrend(); drawTrendGrid(); drawTrend(); });
  showLink();
  $('clock').textContent = clockText(new Date());
  loop();
})();
