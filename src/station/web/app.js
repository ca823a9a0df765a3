// The station's dashboard. Every text from the station (file names, ports,
// field values, log lines) goes into the page through textContent, never as
// markup (page.js). State arrives as Server-Sent Events; EventSource
// reconnects by itself when the station restarts.
'use strict';

const WORDS = {
  waiting: 'WAITING',
  identifying: 'IDENTIFYING',
  writing: 'WRITING',
  ok: 'OK',
  failed: 'FAILED',
  gone: 'GONE',
  retry: 'RETRY',
};
const TOKEN_KEY = 'quelmar-station-token';

const tiles = [];
let current = null;

function duration(seconds) {
  const h = Math.floor(seconds / 3600);
  const m = Math.floor((seconds % 3600) / 60);
  const s = Math.floor(seconds % 60);
  return h + ':' + String(m).padStart(2, '0') + ':' + String(s).padStart(2, '0');
}

function makeTile(index) {
  const tile = el('div', 'tile');
  tile.tabIndex = 0;
  tile.dataset.slot = String(index);
  tile.id = 'slot-' + index;
  for (const part of ['port', 'state', 'bar', 'unit', 'fields', 'count', 'failure', 'label']) {
    const p = el('div', part);
    tile[part] = p;
    tile.appendChild(p);
  }
  const fill = el('div', 'fill');
  tile.bar.appendChild(fill);
  tile.fill = fill;
  tile.addEventListener('click', () => openLog(index));
  tile.addEventListener('keydown', (e) => {
    if (e.key === 'Enter' || e.key === ' ') openLog(index);
  });
  document.getElementById('slots').appendChild(tile);
  return tile;
}

function renderSlot(tile, slot) {
  tile.className = 'tile state-' + slot.state;
  tile.dataset.state = slot.state;
  tile.port.textContent = slot.port;
  let word = WORDS[slot.state] || slot.state.toUpperCase();
  if (slot.state === 'writing') word += ' ' + slot.percent + '%';
  if (slot.state === 'retry') word += ' ' + slot.retry + '/' + slot.retries;
  const needsScan = slot.scan && slot.state === 'waiting';
  if (needsScan) word = 'SCAN';
  tile.state.textContent = word;
  // A finished board's unit stays with its result; a slot waiting for its
  // scan shows none (nothing is bound yet).
  tile.unit.textContent = slot.unit && !needsScan ? 'Unit: ' + slot.unit : '';
  tile.fill.style.width = slot.percent + '%';
  tile.fields.replaceChildren();
  for (const [name, value] of slot.fields) {
    const line = el('div');
    line.textContent = name + ': ' + value;
    tile.fields.appendChild(line);
  }
  tile.count.textContent = 'Boards: ' + slot.boards;
  // Why no board starts (the line's database away) outweighs the last failure.
  tile.failure.textContent = slot.note || (slot.state === 'failed' ? slot.failure : '');
  // The board stays OK; its label waits for `quelmar-cli label reprint`.
  tile.label.textContent = slot.label_failure
    ? 'LABEL NOT PRINTED (board ' + slot.label_board + '): ' + slot.label_failure : '';
}

function render(state) {
  current = state;
  setText('profile', state.profile || 'Quelmar station');
  document.title = (state.profile || 'Quelmar') + ' \u2013 station';
  const images = document.getElementById('images');
  images.replaceChildren();
  for (const image of state.images) {
    const li = el('li');
    const name = el('span', 'file');
    name.textContent = image.file;
    const sha = el('span', 'sha');
    sha.textContent = 'SHA-256 ' + image.sha256.slice(0, 12);
    li.append(name, sha);
    images.appendChild(li);
  }
  const job = state.job;
  document.getElementById('job').hidden = !job;
  setText('job-name', job ? 'Job ' + jobName(job) : '');
  setText('job-sha', job ? 'SHA-256 ' + job.sha256.slice(0, 12) : '');
  setText('job-state', job ? jobStateWords(job) : '');
  document.getElementById('job-state').hidden = !(job && jobStateWords(job));
  setText('total-ok', String(state.ok));
  setText('total-failed', String(state.failed));
  setText('yield', state.yield === null ? '\u2013' : state.yield.toFixed(1) + '%');
  setText('first-pass', state.first_pass_yield === null ? '\u2013'
    : state.first_pass_yield.toFixed(1) + '%');
  setText('per-hour', String(state.last_hour));
  setText('uptime', duration(state.uptime_s));
  setText('version', state.station_version);
  const run = document.getElementById('run');
  run.textContent = state.run.toUpperCase();
  run.className = 'run-' + state.run;
  const scan = state.scan;
  document.getElementById('scan-form').hidden = !scan;
  setText('scan-next', scan ? (scan.next ? 'binds ' + scan.next : 'binds no slot now') : '');
  state.slots.forEach((slot, i) => {
    if (!tiles[i]) tiles[i] = makeTile(i);
    renderSlot(tiles[i], slot);
  });
}

async function openLog(index) {
  const dialog = document.getElementById('log-view');
  const boards = document.getElementById('log-boards');
  boards.replaceChildren();
  setText('log-title', current && current.slots[index] ? current.slots[index].port : '');
  try {
    const response = await fetch('/api/log/' + index, { cache: 'no-store' });
    const logs = await response.json();
    setText('log-title', logs.port + ': last boards');
    if (logs.boards.length === 0) {
      const p = el('p');
      p.textContent = 'No board finished on this port yet.';
      boards.appendChild(p);
    }
    for (const board of logs.boards.slice().reverse()) {
      const h = el('h3');
      h.textContent = 'Board ' + board.board + ': ' + (board.ok ? 'OK' : 'FAILED');
      const pre = el('pre');
      pre.textContent = board.log;
      boards.append(h, pre);
    }
  } catch (e) {
    const p = el('p');
    p.textContent = 'The log could not be read: ' + e;
    boards.appendChild(p);
  }
  if (!dialog.open) dialog.showModal();
}

function control(action) {
  return sendControl('/api/' + action, TOKEN_KEY, 'The station');
}

// A scan from the box (a keyboard-wedge scanner types into it): Enter or
// Tab ends it; the station answers the line said under the box.
async function sendScan() {
  const input = document.getElementById('scan-input');
  const scan = input.value;
  input.value = '';
  if (!scan) return;
  let token = sessionStorage.getItem(TOKEN_KEY) || '';
  if (!token) token = await askToken();
  if (!token) return;
  try {
    const response = await fetch('/api/scan', {
      method: 'POST',
      headers: { 'X-Quelmar-Token': token, 'Content-Type': 'text/plain' },
      body: scan,
      cache: 'no-store',
    });
    if (response.status === 401 || response.status === 403) {
      sessionStorage.removeItem(TOKEN_KEY);
      setText('scan-answer', 'The station refused the token: ' + (await response.text()).trim());
    } else {
      sessionStorage.setItem(TOKEN_KEY, token);
      setText('scan-answer', (await response.json()).line);
    }
  } catch (e) {
    setText('scan-answer', 'The station cannot be reached: ' + e);
  }
  input.focus();
}
document.getElementById('scan-form').addEventListener('submit', (e) => {
  e.preventDefault();
  sendScan();
});
document.getElementById('scan-input').addEventListener('keydown', (e) => {
  if (e.key === 'Tab') {
    e.preventDefault();
    sendScan();
  }
});
document.getElementById('pause').addEventListener('click', () => control('pause'));
document.getElementById('resume').addEventListener('click', () => control('resume'));
document.getElementById('stop').addEventListener('click', () => control('stop'));
document.getElementById('log-close').addEventListener('click', () => {
  document.getElementById('log-view').close();
});
connectEvents(render);
