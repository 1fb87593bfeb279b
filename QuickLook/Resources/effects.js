// Presentation of the preview page: classes on the document element switch the layout and the
// columns, so a change costs one style pass however many rows the table has. Only functions are
// declared here; running this file twice changes nothing.
'use strict';

var COLUMN_KEYS = ['cD', 'cS', 'cP', 'cK', 'cA'];

function setRootClass(name, on) {
  document.documentElement.classList.toggle(name, !!on);
}

// Applies the layout and column settings (the global variables of config.js).
function applyLayout() {
  setRootClass('fixed', keepHeaderFixed);
  setRootClass('simple', simple);
  setRootClass('show-packages', showPackageContents);
  for (var i = 0; i !== COLUMN_KEYS.length; ++i) setRootClass('no-' + COLUMN_KEYS[i], !window[COLUMN_KEYS[i]]);
}

// The configuration button shows and hides the panel below the header.
function bindConfigurationPanel() {
  var button = document.getElementById('config-button');
  var panel = document.getElementById('config-panel');
  if (!button || !panel) return;
  button.onclick = function () {
    panel.hidden = !panel.hidden;
    button.setAttribute('aria-expanded', panel.hidden ? 'false' : 'true');
  };
}

// An empty table leaves its placeholder in the page, and the parser moves that text out of the
// table to just before it; it is not for the reader.
function removeStrayText(container) {
  if (!container) return;
  var nodes = Array.prototype.slice.call(container.childNodes);
  for (var i = 0; i !== nodes.length; ++i) {
    if (nodes[i].nodeType === Node.TEXT_NODE && nodes[i].data.trim() !== '') container.removeChild(nodes[i]);
  }
}
