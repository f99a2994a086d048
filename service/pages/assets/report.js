// The installation report: the launcher sends the local manifest as a JSON array, 500 lines at a
// time; "Load more" asks it for the next portion (it reloads this page with it).
(function () {
  'use strict';

  var numberFormat = new Intl.NumberFormat('en-US');

  function render(items) {
    var rows = document.getElementById('rows');
    var fragment = document.createDocumentFragment();
    var first = null;
    var last = null;
    items.forEach(function (item) {
      if (!item || typeof item !== 'object') return;
      var id = Number(item.id);
      var row = document.createElement('tr');
      [
        ['num', isFinite(id) ? numberFormat.format(id) : ''],
        ['path', ORV.plain(item.path)],
        ['hash', ORV.plain(item.hash)],
      ].forEach(function (cell) {
        var td = document.createElement('td');
        td.className = cell[0];
        td.textContent = cell[1];
        row.appendChild(td);
      });
      fragment.appendChild(row);
      if (isFinite(id)) {
        if (first === null || id < first) first = id;
        if (last === null || id > last) last = id;
      }
    });
    rows.replaceChildren(fragment);

    var empty = document.getElementById('empty');
    var summary = document.getElementById('summary');
    if (rows.children.length === 0) {
      empty.hidden = false;
      empty.firstElementChild.textContent = 'No files listed';
      empty.lastChild.textContent = 'Run a check of the installation first; its files appear here.';
      summary.textContent = '';
    } else {
      empty.hidden = true;
      summary.textContent = first !== null
        ? 'Lines ' + numberFormat.format(first) + '–' + numberFormat.format(last) + ' of the local manifest'
        : rows.children.length + ' files';
    }
    document.querySelector('.table-frame').scrollTop = 0;
  }

  ORV.onMessage(function (message) {
    if (Array.isArray(message)) render(message);
  });

  // Back goes where the report was opened from; a report opened directly returns to the client page.
  document.getElementById('back').addEventListener('click', function (event) {
    if (window.history.length > 1 && document.referrer) {
      event.preventDefault();
      window.history.back();
    }
  });

  if (ORV.demo) {
    var sample = [
      'Astrovance\\EXE\\Astrovance.exe', 'Astrovance\\EXE\\d3d9.dll', 'Astrovance\\EXE\\binkw32.dll',
      'Astrovance\\DATA\\Art\\ships.dat', 'Astrovance\\DATA\\Art\\stations.dat',
      'Astrovance\\DATA\\Audio\\music_ambient.ogg', 'Astrovance\\DATA\\Audio\\voices_en.dat',
      'Astrovance\\DATA\\Universe\\systems.ini', 'Astrovance\\DATA\\Universe\\bases.ini',
      'Astrovance\\DATA\\Equipment\\weapons.ini', 'Astrovance\\DATA\\Equipment\\shields.ini',
      'Astrovance\\DATA\\Interface\\hud.txm', 'Astrovance\\DATA\\Interface\\fonts.ini',
      'Astrovance\\DATA\\Missions\\orv_news.ini', 'Astrovance\\DATA\\Fx\\engines.ale',
    ];
    var items = [];
    for (var i = 0; i < 40; i++) {
      var hash = ((i + 1) * 2654435761 >>> 0).toString(16);
      items.push({ id: i + 1, path: sample[i % sample.length].replace(/(\.\w+)$/, i < sample.length ? '$1' : '_' + i + '$1'), hash: hash });
    }
    render(items);
  }
})();
