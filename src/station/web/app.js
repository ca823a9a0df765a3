// The station's dashboard. Every text from the station (file names, ports,
// field values, log lines) goes into the page through textContent, never as
// markup. State arrives as Server-Sent Events; EventSource reconnects by
// itself when the station restarts.
'use strict';

const WORDS = {
  waiting: 'WAITING',
  identifying: 'IDENTIFYING',
  writing: 'WRITING',
  ok: 'OK',
  failed: 'FAILED',
  gone: 'GONE',
};
const TOKEN_KEY = 'quelmar-station-token';

const tiles = [];
let current = null;

function el(tag, className) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  return e;
}

function setText(id, text) {
  const e = document.getElementById(id);
  if (e.textContent !== text) e.textContent = text;
}

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
  for (const part of ['port', 'state', 'bar', 'fields', 'count', 'failure']) {
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
  tile.state.textContent = word;
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
  setText('total-ok', String(state.ok));
  setText('total-failed', String(state.failed));
  setText('yield', state.yield === null ? '\u2013' : state.yield.toFixed(1) + '%');
  setText('per-hour', String(state.last_hour));
  setText('uptime', duration(state.uptime_s));
  setText('version', state.station_version);
  const run = document.getElementById('run');
  run.textContent = state.run.toUpperCase();
  run.className = 'run-' + state.run;
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

function askToken() {
  return new Promise((resolve) => {
    const dialog = document.getElementById('token-view');
    const input = document.getElementById('token-input');
    const form = document.getElementById('token-form');
    input.value = '';
    const done = (value) => {
      form.onsubmit = null;
      document.getElementById('token-cancel').onclick = null;
      dialog.close();
      resolve(value);
    };
    form.onsubmit = (e) => {
      e.preventDefault();
      done(input.value.trim());
    };
    document.getElementById('token-cancel').onclick = () => done('');
    dialog.showModal();
    input.focus();
  });
}

async function control(action) {
  const error = document.getElementById('control-error');
  error.textContent = '';
  let token = sessionStorage.getItem(TOKEN_KEY) || '';
  if (!token) token = await askToken();
  if (!token) return;
  try {
    const response = await fetch('/api/' + action, {
      method: 'POST',
      headers: { 'X-Quelmar-Token': token },
      cache: 'no-store',
    });
    if (response.status === 401 || response.status === 403) {
      sessionStorage.removeItem(TOKEN_KEY);
      error.textContent = 'The station refused the token: ' + (await response.text()).trim();
      return;
    }
    if (!response.ok) {
      error.textContent = 'The station answered ' + response.status;
      return;
    }
    sessionStorage.setItem(TOKEN_KEY, token);
  } catch (e) {
    error.textContent = 'The station cannot be reached: ' + e;
  }
}

function connect() {
  const events = new EventSource('/events');
  events.addEventListener('state', (e) => {
    document.getElementById('link-lost').hidden = true;
    render(JSON.parse(e.data));
  });
  events.addEventListener('error', () => {
    document.getElementById('link-lost').hidden = false;
  });
}

document.getElementById('pause').addEventListener('click', () => control('pause'));
document.getElementById('resume').addEventListener('click', () => control('resume'));
document.getElementById('stop').addEventListener('click', () => control('stop'));
document.getElementById('log-close').addEventListener('click', () => {
  document.getElementById('log-view').close();
});
connect();
