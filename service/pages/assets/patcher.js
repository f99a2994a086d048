// The patcher page: status texts and the two progress bars, fed by the launcher every 150 ms.
(function () {
  'use strict';

  var STEP = /^STEP (\d+)\/(\d+) - ([\s\S]*)$/;

  // ">ORV<" is how the launcher marks the mod's name in its status texts.
  function tidy(text) {
    return ORV.plain(text).replace(/>ORV</g, 'ORV').trim();
  }

  function setHeadline(text) {
    var chip = document.getElementById('step');
    var headline = document.getElementById('ut1');
    var parts = STEP.exec(ORV.plain(text));
    if (parts) {
      var step = Number(parts[1]);
      var count = Number(parts[2]);
      // Before the first update (or when nothing is to be applied) the launcher counts 0 of 0.
      chip.hidden = !(count > 0);
      chip.textContent = 'Step ' + step + ' of ' + count;
      headline.textContent = tidy(parts[3]);
    } else {
      chip.hidden = true;
      headline.textContent = tidy(text);
    }
  }

  function setText(id, text) {
    if (id === 'ut1') return setHeadline(text);
    var element = document.getElementById(id);
    if (element) element.textContent = tidy(text);
  }

  function percent(value) {
    var number = Math.round(Number(value));
    if (!isFinite(number)) return null;
    return Math.max(0, Math.min(100, number));
  }

  function setBar(barId, valueId, value) {
    var amount = percent(value);
    if (amount === null) return;
    var bar = document.getElementById(barId);
    bar.querySelector('.bar-fill').style.width = amount + '%';
    bar.setAttribute('aria-valuenow', String(amount));
    bar.classList.toggle('done', amount >= 100);
    document.getElementById(valueId).textContent = amount + '%';
  }

  function setProgress(message) {
    setBar('overallBar', 'overallValue', message.overallProgress);
    setBar('fileBar', 'fileValue', message.fileProgress);
    if ('fileName' in message) {
      document.getElementById('fileName').textContent = ORV.plain(message.fileName);
    }
  }

  ORV.onMessage(function (message) {
    if (!message || typeof message !== 'object') return;
    if (message.action === 'updateText' && typeof message.elementId === 'string') {
      setText(message.elementId, message.newText);
    } else if (message.action === 'updateProgress') {
      setProgress(message);
    }
  });

  // Sample content for looking at the page outside the launcher (URL ending in #demo).
  if (ORV.demo) {
    setText('ut1', 'STEP 2/3 - Patching >ORV< Installation...');
    setText('ut2', 'Please be patient while installation is being patched.');
    setProgress({
      overallProgress: 64,
      fileProgress: 38,
      fileName: 'EXE/Astrovance.exe (12480 KB / 32768 KB)',
    });
  }
})();
