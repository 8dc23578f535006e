// The document viewer page: log in, pick a document from /docs or the home share, see its PDF.
// The PDF is the convert API's "get" answer, shown by the browser's own PDF viewer.
'use strict';

const ENTRY = '/webapi/entry.cgi';
const CONVERT = 'VIREO.Paperlens.Convert';
const POLL_MS = 500;
const $ = (id) => document.getElementById(id);

// Every value travels as JSON text, so a password such as "123" or a name such as "true" is
// never taken for a number or a flag.
function encode(api, method, params) {
  const q = new URLSearchParams({ api, version: '1', method });
  for (const [k, v] of Object.entries(params || {})) q.set(k, JSON.stringify(v));
  return q.toString();
}

async function call(api, method, params) {
  const res = await fetch(ENTRY, {
    method: 'POST',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body: encode(api, method, params),
    credentials: 'same-origin',
  });
  const answer = await res.json();
  if (!answer.success) {
    const err = new Error('error ' + answer.error.code);
    err.code = answer.error.code;
    throw err;
  }
  return answer.data;
}

function showLogin(message) {
  $('login').hidden = false;
  $('browser').hidden = $('view').hidden = $('logout').hidden = true;
  $('who').textContent = '';
  $('login-error').textContent = message || '';
  $('account').focus();
}

async function showDesk(user) {
  $('login').hidden = true;
  $('browser').hidden = $('view').hidden = $('logout').hidden = false;
  if (user) $('who').textContent = user;
  for (const section of document.querySelectorAll('#browser section')) {
    await listFolder(section, section.dataset.root);
  }
}

function item(label, onClick, extra) {
  const li = document.createElement('li');
  const b = document.createElement('button');
  b.type = 'button';
  b.textContent = label;
  b.addEventListener('click', onClick);
  li.appendChild(b);
  if (extra) {
    const s = document.createElement('span');
    s.className = 'size';
    s.textContent = extra;
    li.appendChild(s);
  }
  return li;
}

function sizeText(bytes) {
  if (bytes < 1024) return bytes + ' B';
  if (bytes < 1048576) return (bytes / 1024).toFixed(1) + ' KiB';
  return (bytes / 1048576).toFixed(1) + ' MiB';
}

async function listFolder(section, folder) {
  const ul = section.querySelector('ul');
  ul.textContent = '';
  const root = section.dataset.root;
  if (folder !== root) {
    const up = folder.slice(0, folder.lastIndexOf('/'));
    ul.appendChild(item('↑ ' + up, () => listFolder(section, up)));
  }
  let data;
  try {
    data = await call('VIREO.Filehall.List', 'list', { folder_path: folder });
  } catch (e) {
    if (e.code === 106 || e.code === 119) return showLogin('Your session has ended.');
    const li = document.createElement('li');
    li.className = 'error';
    li.textContent = 'Cannot list ' + folder + ' (' + e.message + ')';
    ul.appendChild(li);
    return;
  }
  for (const f of data.files) {
    if (f.is_dir) ul.appendChild(item(f.name + '/', () => listFolder(section, f.path)));
    else ul.appendChild(item(f.name, () => view(f.path), sizeText(f.size)));
  }
  if (data.files.length === 0) {
    const li = document.createElement('li');
    li.textContent = '(empty)';
    ul.appendChild(li);
  }
}

function setStatus(state, text) {
  $('status').dataset.state = state;
  $('status').textContent = text;
}

let viewing = 0;  // bumped per click, so a slow earlier conversion cannot replace a later pick

async function view(path) {
  const mine = ++viewing;
  const viewer = $('viewer');
  viewer.hidden = true;
  viewer.removeAttribute('src');
  setStatus('converting', 'Converting ' + path + '…');
  try {
    const start = await call(CONVERT, 'poll_start', { path });
    if (start.task_id !== 0) {
      for (;;) {
        await new Promise((r) => setTimeout(r, POLL_MS));
        if (mine !== viewing) return;
        const st = await call(CONVERT, 'poll_status', { task_id: start.task_id });
        if (!st.finish) continue;
        if (st.success === false) {
          const code = st.error ? st.error.code : '?';
          setStatus('failed', 'Conversion of ' + path + ' failed (error ' + code + ').');
          return;
        }
        break;
      }
    }
  } catch (e) {
    if (mine !== viewing) return;
    if (e.code === 106 || e.code === 119) return showLogin('Your session has ended.');
    setStatus('failed', 'Cannot convert ' + path + ' (' + e.message + ').');
    return;
  }
  if (mine !== viewing) return;
  setStatus('ready', path);
  viewer.src = ENTRY + '?' + encode(CONVERT, 'get', { path });
  viewer.hidden = false;
}

$('login').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  const account = $('account').value;
  try {
    await call('VIREO.API.Auth', 'login', { account, passwd: $('passwd').value });
  } catch (e) {
    $('passwd').value = '';
    return showLogin(e.code === 407 ? 'Too many failed logins; wait a little.'
                                    : 'Wrong account or password.');
  }
  $('passwd').value = '';
  showDesk(account);
});

$('logout').addEventListener('click', async () => {
  try { await call('VIREO.API.Auth', 'logout'); } catch (e) { /* the session is gone either way */ }
  $('viewer').removeAttribute('src');
  showLogin();
});

// A session left from earlier (the cookie is not readable here) shows the desk at once.
call('VIREO.Filehall.List', 'list_share').then(() => showDesk(''), () => showLogin());
