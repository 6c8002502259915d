'use strict';
// The page's script: it draws what the core reports and passes the operator's requests to it.
// Every rule of which command may run, every question and every text come from the core.
(async () => {
  const $ = id => document.getElementById(id);
  const fieldNames = ['Flash size', 'Chip type', 'ReMap', 'Memory mode', 'Fw version', 'IAP status'];
  const log = text => {
    const li = document.createElement('li');
    li.textContent = text;
    $('log').append(li);
    li.scrollIntoView({block: 'nearest'});
  };
  let chosen = null;  // the image file picked or dropped
  let started = 0;    // when the running command began, for the time left

  const Module = await TesselModule({
    tesselMessage: (kind, text) => log(text),
    tesselChanged: () => draw(),
    tesselAsk: text => new Promise(resolve => {
      const dialog = $('ask');
      $('ask-text').textContent = text;
      dialog.returnValue = 'no';
      dialog.onclose = () => resolve(dialog.returnValue === 'yes');
      dialog.showModal();
    }),
    // A typed answer (the loader's password): the text, or null for Cancel.
    tesselText: (title, prompt, secret) => new Promise(resolve => {
      const dialog = $('text');
      const input = $('text-value');
      $('text-title').textContent = title;
      $('text-prompt').textContent = prompt;
      input.type = secret ? 'password' : 'text';
      input.value = '';
      dialog.returnValue = 'cancel';
      dialog.onclose = () => {
        resolve(dialog.returnValue === 'ok' ? input.value : null);
        input.value = '';
      };
      dialog.showModal();
    }),
  });
  Module._tessel_init();

  function draw() {
    const s = JSON.parse(Module.UTF8ToString(Module._tessel_state()));
    const dl = $('fields');
    dl.replaceChildren();
    s.fields.forEach((value, i) => {
      const dt = document.createElement('dt');
      dt.textContent = fieldNames[i];
      const dd = document.createElement('dd');
      dd.textContent = value;
      dl.append(dt, dd);
    });
    $('security').textContent = s.security;
    $('link').textContent = s.link;
    const p = s.progress;
    $('progress-label').textContent = p.visible ? p.label : 'Idle';
    $('progress').max = Math.max(p.range, 1);
    $('progress').value = p.visible ? p.position : 0;
    if (p.visible && p.position > 0 && p.range > p.position) {
      const left = (performance.now() - started) / p.position * (p.range - p.position) / 1000;
      $('time-left').textContent = `${Math.ceil(left)} s left`;
    } else {
      $('time-left').textContent = '';
    }
  }

  let busy = false;
  async function run(name, types, args) {
    if (busy) return null;
    busy = true;
    started = performance.now();
    $('banner').textContent = '';
    try {
      const text = await Module.ccall(name, 'string', types, args, {async: true});
      const r = JSON.parse(text);
      const banner = $('banner');
      banner.textContent = r.summary || r.reason || r.outcome;
      banner.className = r.outcome === 'done' ? 'done' : 'bad';
      if (r.reason && r.reason !== r.summary) log(r.reason);
      if (r.summary) log(r.summary);
      return r;
    } finally {
      busy = false;
      draw();
    }
  }

  const num = id => Number($(id).value) || 0;
  const range = () => [num('block'), num('first'), num('count')];
  async function staged() {
    if (!chosen) return null;
    const path = '/' + chosen.name.replace(/[\/]/g, '_');
    Module.FS.writeFile(path, new Uint8Array(await chosen.arrayBuffer()));
    return path;
  }

  if (!('serial' in navigator)) {
    $('no-serial').hidden = false;
    $('port').querySelector('option[value=webserial]').disabled = true;
  }
  $('port').addEventListener('change', async () => {
    if ($('port').value !== 'webserial') return;
    try {
      Module.tesselPort = await navigator.serial.requestPort();
    } catch (e) {
      log('No serial port was chosen.');
      $('port').value = 'sim:NX31A32';
    }
  });
  $('file').addEventListener('change', () => { chosen = $('file').files[0] || null; });
  const drop = $('drop');
  drop.addEventListener('dragover', e => { e.preventDefault(); drop.classList.add('over'); });
  drop.addEventListener('dragleave', () => drop.classList.remove('over'));
  drop.addEventListener('drop', e => {
    e.preventDefault();
    drop.classList.remove('over');
    chosen = e.dataTransfer.files[0] || null;
    if (chosen) drop.textContent = chosen.name;
  });

  $('detect').onclick = () => {
    Module.ccall('tessel_set_port', null, ['string'], [$('port').value]);
    return run('tessel_detect', ['number', 'string', 'number', 'number', 'number'],
               [num('firmware'), $('chip').value, num('mode'), Number($('crystal').value), num('baud')]);
  };
  $('read').onclick = () => run('tessel_read', ['number', 'number', 'number'], range());
  $('erase').onclick = () => run('tessel_erase', ['number', 'number', 'number'], range());
  $('erase-chip').onclick = () => run('tessel_erase_chip', [], []);
  $('download').onclick = async () => {
    const path = await staged();
    if (!path) { log('Choose or drop an image file first.'); return; }
    return run('tessel_download', ['string', 'number', 'number', 'number'], [path, num('block'), num('first'), 0]);
  };
  $('compare').onclick = async () => {
    const path = await staged();
    if (!path) { log('Choose or drop an image file first.'); return; }
    return run('tessel_compare', ['string', 'number', 'number'], [path, num('block'), num('first')]);
  };
  $('save').onclick = async () => {
    const path = '/block' + num('block') + '.bin';
    const r = await run('tessel_save', ['string', 'number', 'number', 'number', 'number'], [path, ...range(), 0]);
    if (!r || r.outcome !== 'done') return;
    const a = document.createElement('a');
    a.href = URL.createObjectURL(new Blob([Module.FS.readFile(path)]));
    a.download = path.slice(1);
    a.click();
    URL.revokeObjectURL(a.href);
  };
  $('stop').onclick = () => Module._tessel_stop();
  draw();
})();
