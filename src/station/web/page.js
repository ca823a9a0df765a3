// What the station's page and the line's page share: elements made with
// their text through textContent (never as markup), the token dialog, the
// control requests and the event stream. Loaded before each page's own
// script.
'use strict';

function el(tag, className) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  return e;
}

// A job as both pages name it ("widget@2"), and what its state says when
// no new board of it starts ("" while it runs).
const JOB_STATE_WORDS = { made: 'job made its quantity', retired: 'job retired' };
function jobName(job) {
  return job.name + '@' + job.version;
}
function jobStateWords(job) {
  return JOB_STATE_WORDS[job.state] || '';
}

function setText(id, text) {
  const e = document.getElementById(id);
  if (e.textContent !== text) e.textContent = text;
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

// POSTs a control with the token in its header, asked for once and kept
// for the tab under tokenKey. What went wrong is said in #control-error,
// in the words of `who` ("The station"). True when it was taken.
async function sendControl(path, tokenKey, who) {
  const error = document.getElementById('control-error');
  error.textContent = '';
  let token = sessionStorage.getItem(tokenKey) || '';
  if (!token) token = await askToken();
  if (!token) return false;
  try {
    const response = await fetch(path, {
      method: 'POST',
      headers: { 'X-Quelmar-Token': token },
      cache: 'no-store',
    });
    if (response.status === 401 || response.status === 403) {
      sessionStorage.removeItem(tokenKey);
      error.textContent = who + ' refused the token: ' + (await response.text()).trim();
      return false;
    }
    if (!response.ok) {
      const line = (await response.text()).trim();
      error.textContent = who + ' answered ' + response.status + (line ? ': ' + line : '');
      return false;
    }
    sessionStorage.setItem(tokenKey, token);
    return true;
  } catch (e) {
    error.textContent = who + ' cannot be reached: ' + e;
    return false;
  }
}

// The state as Server-Sent Events; EventSource reconnects by itself, and
// #link-lost shows meanwhile.
function connectEvents(onState) {
  const events = new EventSource('/events');
  events.addEventListener('state', (e) => {
    document.getElementById('link-lost').hidden = true;
    onState(JSON.parse(e.data));
  });
  events.addEventListener('error', () => {
    document.getElementById('link-lost').hidden = false;
  });
}
