'use strict';
// The page's script: it draws what the core reports and passes the operator's requests to it.
// Every rule of which command may run, every question and every text come from the core.
(async () => {
  const $ = id => document.getElementById(id);
  const fieldNames = ['Flash size', 'Chip type', 'ReMap', 'Memory mode', 'Fw version', 'IAP status'];
  const log = text => {
    const li = document.createElement('li');
    li.textContent = text;
    // The log scrolls in its own box; scrolling the line into view would move the whole page.
    const box = $('log');
    box.append(li);
    box.scrollTop = box.scrollHeight;
  };
  let chosen = null;  // the image file picked or dropped
  let started = 0;    // when the running command began, for the time left
  let dirty = 0;      // the parts changed since they were last drawn
  let drawing = 0;    // the timer or frame they will be drawn in
  let busy = false;   // a command runs

  const Module = await TesselModule({
    tesselMessage: (kind, text) => log(text),
    // Drawn a few times a second while a command runs, the next frame when none does: the
    // command shares the browser's one thread with the drawing, and a read or download
    // reports each chunk.
    tesselChanged: what => {
      dirty |= partsOf[what] ?? ALL;
      if (drawing) return;
      const now = () => { drawing = 0; const parts = dirty; dirty = 0; draw(parts); };
      drawing = busy ? setTimeout(now, 250) : requestAnimationFrame(now);
    },
    tesselAsk: text => new Promise(resolve => {
      const dialog = $('ask');
      $('ask-text').textContent = text;
      dialog.returnValue = 'no';
      dialog.onclose = () => resolve(dialog.returnValue === 'yes');
      dialog.showModal();
    }),
    // Typed answers (the passwords): the texts, or null for Cancel.
    tesselTexts: (title, note, labels, secret) => new Promise(resolve => {
      const dialog = $('text');
      $('text-title').textContent = title;
      $('text-note').textContent = note;
      const inputs = labels.map((label, i) => {
        const input = document.createElement('input');
        input.id = `text-${i}`;
        input.type = secret ? 'password' : 'text';
        input.maxLength = 31;
        input.autocomplete = 'off';
        const l = document.createElement('label');
        l.htmlFor = input.id;
        l.textContent = label;
        const row = document.createElement('div');
        row.append(l, input);
        return [row, input];
      });
      $('text-fields').replaceChildren(...inputs.map(([row]) => row));
      dialog.returnValue = 'cancel';
      dialog.onclose = () => {
        resolve(dialog.returnValue === 'ok' ? inputs.map(([, input]) => input.value) : null);
        $('text-fields').replaceChildren();
      };
      dialog.showModal();
    }),
  });
  Module._tessel_init();

  // A menu of the core's, kept as it is while the core's list is the same.
  function menu(id, options) {
    const select = $(id);
    const labels = options.map(o => o.label).join('\n');
    if (select.dataset.labels === labels) return;
    select.dataset.labels = labels;
    select.replaceChildren(...options.map(o => new Option(o.label, o.choice)));
  }

  // The parts of the page a change of the core's touches (its Change, by number), as the
  // bindings' tessel_state takes them: 1 the chip, 2 the progress, 4 the sector list, 8 the dump.
  const CHIP = 1, PROGRESS = 2, SECTORS = 4, DUMP = 8, ALL = 15;
  const partsOf = [CHIP, CHIP, CHIP, PROGRESS, CHIP, CHIP, CHIP, SECTORS | DUMP, SECTORS, 0];

  // Rows of a table made to hold `rows` (arrays of texts), touching only the cells that differ:
  // a read or download changes one sector's status at a time in a list of hundreds.
  function fill(body, rows, made) {
    while (body.rows.length > rows.length) body.lastChild.remove();
    rows.forEach((cells, i) => {
      let tr = body.rows[i];
      if (!tr) {
        tr = document.createElement('tr');
        cells.forEach(() => tr.append(document.createElement('td')));
        made(tr, i);
        body.append(tr);
      }
      cells.forEach((c, k) => { if (tr.cells[k].textContent !== c) tr.cells[k].textContent = c; });
    });
  }
  const showSector = e => {
    if (e.type === 'keydown' && e.key !== 'Enter' && e.key !== ' ') return;
    Module._tessel_show_sector(e.currentTarget.sectionRowIndex);
    draw(ALL);
  };

  function draw(parts) {
    const s = JSON.parse(Module.UTF8ToString(Module._tessel_state(parts)));
    if (parts & CHIP) {
      $('fields').replaceChildren(...s.fields.flatMap((value, i) => {
        const dt = document.createElement('dt');
        dt.textContent = fieldNames[i];
        const dd = document.createElement('dd');
        dd.textContent = value;
        return [dt, dd];
      }));
      $('security').textContent = s.security;
      $('link').textContent = s.linkUp ? `Connected at ${s.baud} baud` : 'Not connected';
      menu('lock-choice', s.lockMenu);
      menu('remap-choice', s.remapMenu);
    }
    if (parts & SECTORS) {
      const body = $('sectors').tBodies[0];
      fill(body, s.sectors, tr => { tr.tabIndex = 0; tr.onclick = tr.onkeydown = showSector; });
      for (const tr of body.querySelectorAll('tr.hot')) tr.className = '';
      if (body.rows[s.hot]) body.rows[s.hot].className = 'hot';
    }
    if (parts & DUMP) {
      $('dump-header').textContent = s.dumpHeader;
      const body = $('dump').tBodies[0];
      fill(body, s.dump, () => {});
      s.marks.forEach((marked, i) => { body.rows[i].className = marked ? 'marked' : ''; });
    }
    if (parts & PROGRESS) {
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
  }

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
      banner.dataset.outcome = r.outcome;
      if (r.reason && r.reason !== r.summary) log(r.reason);
      if (r.summary) log(r.summary);
      return r;
    } finally {
      busy = false;
      draw(ALL);
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
  // Every command takes the port chosen (the cable test opens it without a detection).
  const choosePort = () => Module.ccall('tessel_set_port', null, ['string'], [$('port').value]);
  choosePort();
  $('port').addEventListener('change', async () => {
    choosePort();
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
    choosePort();
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
  $('lock').onclick = () => run('tessel_lock', ['number'], [num('lock-choice')]);
  $('remap').onclick = () => run('tessel_remap', ['number'], [num('remap-choice')]);
  $('double-clock').onclick = () => run('tessel_double_clock', [], []);
  $('run').onclick = () => run('tessel_run', [], []);
  $('cable').onclick = () => run('tessel_cable_test', [], []);
  $('password-change').onclick = () => run('tessel_password', ['number'], [1]);
  $('password-set').onclick = () => run('tessel_password', ['number'], [0]);
  const edit = async data => {
    const r = await run('tessel_edit', ['string', 'string'], [$('edit-address').value, data]);
    if (r) $('edit-shown').textContent = r.shown || '';
  };
  $('edit-show').onclick = () => edit('');
  $('edit-write').onclick = () => edit($('edit-data').value);
  $('upgrade').onclick = async () => {
    const path = await staged();
    if (!path) { log('Choose or drop an image file first.'); return; }
    return run('tessel_upgrade', ['string', 'number'], [path, num('first')]);
  };
  $('external-loader').onclick = () => run('tessel_external_loader', [], []);
  $('monitor').onclick = () => run('tessel_monitor', [], []);
  $('external-low').onclick = () => run('tessel_external', ['number'], [0]);
  $('external-high').onclick = () => run('tessel_external', ['number'], [1]);
  $('external-back').onclick = () => run('tessel_external', ['number'], [-1]);
  $('stop').onclick = () => Module._tessel_stop();
  draw(ALL);
})();
