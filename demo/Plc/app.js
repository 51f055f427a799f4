// Demo visualisation client of the command channel.
//
// Every command is one POST to /Velmora whose body starts with a four-byte command word:
//   "AB"              open the session; the reply is "|buffer size|0|session number|false|"
//   "AD"              ask for the address; the reply is a short text such as "IPv4:::1|"
//   "AC" 0x00 0x00    runtime exchange; the bytes after the command word go to the PLC
//                     runtime and its answer comes back unchanged (empty when it failed)
// The server ends every reply by closing the connection, so a reply is read to the end.
'use strict';

(function () {
  const SERVICE = '/Velmora';
  const EXCHANGE_WORD = [0x41, 0x43, 0x00, 0x00];   // "AC", then two bytes the server ignores
  const MAX_PAYLOAD = 9996;                          // request body limit minus the command word
  const TIMEOUT_MS = 10000;
  const RETRY_MS = 5000;

  const $ = (id) => document.getElementById(id);
  const encoder = new TextEncoder();
  const decoder = new TextDecoder('utf-8');

  let exchanges = 0;
  let unanswered = 0;
  let retryTimer = null;

  function setStatus(el, kind, text) {
    el.className = 'status' + (kind ? ' ' + kind : '');
    el.textContent = text;
  }

  function unreachable(text) {
    const err = new Error(text);
    err.unreachable = true;
    return err;
  }

  function retrySession() {
    clearTimeout(retryTimer);
    retryTimer = setTimeout(openSession, RETRY_MS);
  }

  // Sends one command body; resolves to the reply bytes. Rejects with an Error whose
  // message says what went wrong in words an operator understands.
  async function command(body) {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), TIMEOUT_MS);
    let response;
    try {
      response = await fetch(SERVICE, {
        method: 'POST',
        headers: { 'Content-Type': 'application/octet-stream' },
        body: body,
        cache: 'no-store',
        signal: abort.signal,
      });
      if (!response.ok) {
        throw new Error('the server refused the command (HTTP ' + response.status + ')');
      }
      return new Uint8Array(await response.arrayBuffer());
    } catch (err) {
      if (err.name === 'AbortError') {
        throw unreachable('no answer from the server within ' + TIMEOUT_MS / 1000 + ' s');
      }
      if (err instanceof TypeError) {
        throw unreachable('the server does not answer (not running or not reachable)');
      }
      throw err;
    } finally {
      clearTimeout(timer);
    }
  }

  function commandWord(text) {
    const body = new Uint8Array(4);
    body.set(encoder.encode(text));
    return body;
  }

  function hex(bytes, max) {
    const shown = Array.from(bytes.subarray(0, max), (b) => b.toString(16).padStart(2, '0'));
    return shown.join(' ') + (bytes.length > max ? ' \u2026' : '');
  }

  async function openSession() {
    clearTimeout(retryTimer);
    const status = $('link-status');
    setStatus(status, '', 'Connecting to the server\u2026');
    try {
      const params = decoder.decode(await command(commandWord('AB')));
      const fields = params.split('|');
      if (fields.length < 6 || fields[0] !== '' || fields[5] !== '') {
        throw new Error('the server sent an unexpected session reply ' + JSON.stringify(params));
      }
      $('session-raw').textContent = params;
      $('session-buffer').textContent = fields[1] + ' bytes';
      $('session-id').textContent = fields[3];

      const address = decoder.decode(await command(commandWord('AD')));
      if (address === '') {
        throw new Error('the server sent an empty address reply');
      }
      $('address-raw').textContent = address;
      setStatus(status, 'ok', 'Connected: session ' + fields[3] + ' open.');
    } catch (err) {
      setStatus(status, 'bad', 'Not connected: ' + err.message + '. Trying again in '
                + RETRY_MS / 1000 + ' s.');
      retrySession();
    }
  }

  function showCount() {
    $('count').textContent = String(exchanges);
    $('count-unanswered').textContent = String(unanswered);
  }

  async function exchange(text) {
    const status = $('exchange-status');
    const payload = encoder.encode(text);
    if (payload.length > MAX_PAYLOAD) {
      setStatus(status, 'bad', 'The payload is ' + payload.length + ' bytes; at most '
                + MAX_PAYLOAD + ' fit in one exchange.');
      return;
    }
    const body = new Uint8Array(EXCHANGE_WORD.length + payload.length);
    body.set(EXCHANGE_WORD);
    body.set(payload, EXCHANGE_WORD.length);

    exchanges += 1;
    const n = exchanges;
    showCount();
    $('sent').textContent = text;
    $('answer').textContent = '\u2026';
    $('answer-hex').textContent = '\u2026';
    $('rtt').textContent = '\u2026';
    setStatus(status, '', 'Exchange ' + n + ' sent, waiting for the runtime\u2026');

    const started = performance.now();
    try {
      const answer = await command(body);
      const ms = performance.now() - started;
      $('rtt').textContent = ms.toFixed(1) + ' ms';
      if (answer.length === 0) {
        unanswered += 1;
        $('answer').textContent = '(none)';
        $('answer-hex').textContent = '(none)';
        setStatus(status, 'bad', 'Exchange ' + n + ': the PLC runtime did not answer '
                  + '(empty reply: the runtime or its link is down).');
      } else {
        $('answer').textContent = decoder.decode(answer);
        $('answer-hex').textContent = hex(answer, 64);
        setStatus(status, 'ok', 'Exchange ' + n + ': the runtime answered ' + answer.length
                  + ' bytes.');
      }
    } catch (err) {
      unanswered += 1;
      $('rtt').textContent = '\u2013';
      $('answer').textContent = '(none)';
      $('answer-hex').textContent = '(none)';
      setStatus(status, 'bad', 'Exchange ' + n + ' failed: ' + err.message + '.');
      if (err.unreachable) {
        setStatus($('link-status'), 'bad', 'Not connected: ' + err.message + '. Trying again in '
                  + RETRY_MS / 1000 + ' s.');
        retrySession();
      }
    }
    showCount();
  }

  $('exchange-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const send = $('send');
    send.disabled = true;
    try {
      await exchange($('payload').value);
    } finally {
      send.disabled = false;
    }
  });
  $('reconnect').addEventListener('click', openSession);

  openSession();
})();
