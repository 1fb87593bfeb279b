// Display settings of the preview page. The page carries them as inert text in the element
// #config ("var simple = N;" and one "key=N;" line per setting), which the browser never runs:
// they are read here into the global variables the other scripts use, the panel's check boxes
// change them, and the "Save as Default" link carries them to the application.
'use strict';

var SETTING_KEYS = ['keepHeaderFixed', 'showHiddenFiles', 'showPackageContents', 'cD', 'cS', 'cP', 'cK', 'cA'];

var simple = 0;
var keepHeaderFixed = 0;
var showHiddenFiles = 0;
var showPackageContents = 0;
var cD = 0;
var cS = 0;
var cP = 0;
var cK = 0;
var cA = 0;

// Name and value of every "name = N;" line of the configuration text; nothing else is taken.
function parseSettings(text) {
  var values = {};
  var pattern = /^[ \t]*(?:var[ \t]+)?([A-Za-z]+)[ \t]*=[ \t]*(-?[0-9]+)[ \t]*;[ \t]*$/gm;
  for (var match = pattern.exec(text); match !== null; match = pattern.exec(text)) {
    values[match[1]] = parseInt(match[2], 10) !== 0 ? 1 : 0;
  }
  return values;
}

function loadSettings() {
  var element = document.getElementById('config');
  var values = parseSettings(element ? element.textContent : '');
  var keys = ['simple'].concat(SETTING_KEYS);
  for (var i = 0; i !== keys.length; ++i) window[keys[i]] = values[keys[i]] === 1 ? 1 : 0;
}

// The page's signature for the links its script builds: the archive (escaped by the page's maker),
// the page's time and the token over both; "" when the page carries none that fits a link.
function pageSignature() {
  var body = document.body;
  var archive = body.getAttribute('data-archive') || '';
  var time = body.getAttribute('data-time') || '';
  var token = body.getAttribute('data-token') || '';
  if (!/^[A-Za-z0-9%._~!$()*+,:@\/=-]+$/.test(archive) || !/^[0-9]+$/.test(time) || !/^[0-9a-f]{64}$/.test(token)) return '';
  return 'archive=' + archive + '&time=' + time + '&token=' + token;
}

// tssro://config?keepHeaderFixed=1&showHiddenFiles=0&...&archive=A&time=T&token=X: the application
// stores the values as the defaults of the next previews when the token is this page's.
function defaultsLink() {
  var pairs = [];
  for (var i = 0; i !== SETTING_KEYS.length; ++i) pairs.push(SETTING_KEYS[i] + '=' + (window[SETTING_KEYS[i]] ? 1 : 0));
  var signature = pageSignature();
  if (signature) pairs.push(signature);
  return 'tssro://config?' + pairs.join('&');
}

// Sets the panel's check boxes from the settings and makes each change apply at once;
// onVisibilityChange runs when a setting changes which rows are shown.
function bindSettingControls(onVisibilityChange) {
  var panel = document.getElementById('config-panel');
  var link = document.getElementById('save-defaults');
  if (!panel) return;
  var updateLink = function () {
    if (link) link.href = defaultsLink();
  };
  var boxes = panel.querySelectorAll('input[type=checkbox][data-key]');
  Array.prototype.forEach.call(boxes, function (box) {
    var key = box.getAttribute('data-key');
    if (SETTING_KEYS.indexOf(key) === -1) return;
    box.checked = !!window[key];
    // Simple mode writes no hidden or package marks, so those two choices have nothing to act on.
    var inert = simple && (key === 'showHiddenFiles' || key === 'showPackageContents');
    box.disabled = inert;
    if (box.parentNode) box.parentNode.classList.toggle('off', inert);
    box.onchange = function () {
      window[key] = box.checked ? 1 : 0;
      applyLayout();
      if (key === 'showHiddenFiles' || key === 'showPackageContents') onVisibilityChange();
      updateLink();
    };
  });
  updateLink();
}

loadSettings();
applyLayout();
