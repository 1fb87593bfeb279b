// The listing: folding, hidden items and package contents; the preset menu and the folder path.
//
// A row carries its depth only as its indentation (18 pixels a level). The depths are read once
// at load into an array; folding then walks plain arrays and touches only the rows whose
// visibility changes, and it only writes classes, so the browser lays the table out once after
// each change instead of once per row.
//
// Folders below the first level start folded: the page opens with the first two levels of the
// tree, and a large archive lays out only those rows when it loads.
'use strict';

var INDENT_PIXELS = 18;
var FIRST_FOLDED_LEVEL = 2;

var ROW_FOLDER = 1;   // has a fold toggle
var ROW_HIDDEN = 2;   // class h: a hidden (metadata) item
var ROW_PACKAGE = 4;  // class p: a package, its contents folded away unless shown

// rows, and per row: level, ROW_* flags, folded, currently out of view; kept by the filter
// (filter.js; none while no filter is on).
var listing = null;

function rowLevel(row) {
  var style = row.cells.length !== 0 ? row.cells[0].getAttribute('style') || '' : '';
  var pixels = parseInt(style.slice(style.indexOf(':') + 1), 10);
  return pixels > 0 ? Math.round(pixels / INDENT_PIXELS) : 0;
}

// Every fold toggle gets the table's one label for toggles, so the rows carry it only once.
function nameToggles(state, body) {
  var table = body.closest('table');
  var label = table ? table.getAttribute('data-toggle-label') : null;
  if (!label) return;
  for (var i = 0; i !== state.rows.length; ++i) {
    if (state.flags[i] & ROW_FOLDER) state.rows[i].cells[0].firstElementChild.setAttribute('aria-label', label);
  }
}

function readListing(body) {
  var rows = Array.prototype.slice.call(body.rows);
  var count = rows.length;
  var state = {
    rows: rows,
    level: new Int32Array(count),
    flags: new Uint8Array(count),
    folded: new Uint8Array(count),
    out: new Uint8Array(count),
    kept: null,
  };
  for (var i = 0; i !== count; ++i) {
    var row = rows[i];
    var first = row.cells.length !== 0 ? row.cells[0].firstElementChild : null;
    var flags = first !== null && first.className === 'open' ? ROW_FOLDER : 0;
    if (row.className === 'h') flags |= ROW_HIDDEN;
    else if (row.className === 'p') flags |= ROW_PACKAGE;
    state.level[i] = rowLevel(row);
    state.flags[i] = flags;
    state.folded[i] = (flags & ROW_FOLDER) !== 0 && state.level[i] >= FIRST_FOLDED_LEVEL ? 1 : 0;
  }
  return state;
}

// Index just past the subtree of row `index`.
function subtreeEnd(state, index) {
  var level = state.level[index];
  var end = index + 1;
  while (end !== state.rows.length && state.level[end] > level) ++end;
  return end;
}

// Recomputes which rows of [start, end) are out of view. The range must begin at a row whose
// ancestors are all open and shown (the whole table, or a subtree whose toggle was clicked).
function refreshRows(state, start, end) {
  var closedAt = -1;  // level of the row whose descendants are out of view, -1 for none
  for (var i = start; i !== end; ++i) {
    var level = state.level[i];
    if (closedAt !== -1 && level <= closedAt) closedAt = -1;
    var flags = state.flags[i];
    var out = closedAt !== -1 || ((flags & ROW_HIDDEN) !== 0 && !showHiddenFiles) ||
              (state.kept !== null && state.kept[i] === 0);
    if (closedAt === -1 &&
        (out || state.folded[i] || ((flags & ROW_PACKAGE) !== 0 && !showPackageContents))) {
      closedAt = level;
    }
    var value = out ? 1 : 0;
    if (state.out[i] !== value) {
      state.out[i] = value;
      state.rows[i].classList.toggle('x', out);
    }
  }
}

function markFolded(state, index) {
  var row = state.rows[index];
  row.classList.toggle('c', state.folded[index] === 1);
  if (state.flags[index] & ROW_FOLDER)
    row.cells[0].firstElementChild.setAttribute('aria-expanded', state.folded[index] === 1 ? 'false' : 'true');
}

// Opens or closes the folder row of the clicked toggle.
function tggl(element) {
  if (!listing || !element) return;
  var row = element.closest('tr');
  if (!row) return;
  var index = row.sectionRowIndex;
  if (listing.rows[index] !== row) index = listing.rows.indexOf(row);
  if (index === -1) return;
  listing.folded[index] = listing.folded[index] ? 0 : 1;
  markFolded(listing, index);
  refreshRows(listing, index, subtreeEnd(listing, index));
}

function refreshAll() {
  if (listing) refreshRows(listing, 0, listing.rows.length);
}

// Choosing a preset asks the application to extract the archive with it:
// tssro://extract?preset=NAME&archive=PATH&time=T&token=X, the names percent-escaped by the
// page's maker, the rest the page's signature (config.js).
function bindPresetMenu() {
  var menu = document.getElementById('presets');
  if (!menu) return;
  var hasPresets = Array.prototype.some.call(menu.options, function (option) { return option.value !== ''; });
  menu.disabled = !hasPresets;
  menu.onchange = function () {
    var preset = menu.value;
    menu.selectedIndex = 0;
    // Both values come escaped; anything that is not stays out of the link.
    var escaped = /^[A-Za-z0-9%._~!$()*+,:@\/=-]+$/;
    var signature = pageSignature();
    if (!escaped.test(preset) || !signature) return;
    window.location.href = 'tssro://extract?preset=' + preset + '&' + signature;
  };
}

// The folder path arrives as the text of the page's last element, parsed only after this
// script has run; the template puts one line feed after it.
function showFolderPath() {
  var source = document.getElementById('folder-path');
  var target = document.getElementById('folder');
  if (!source || !target) return;
  target.textContent = source.textContent.replace(/\n$/, '');
}

function startPage() {
  var body = document.getElementById('rows');
  if (body) {
    try {
      removeStrayText(document.getElementById('listing'));
      listing = readListing(body);
      nameToggles(listing, body);
      for (var i = 0; i !== listing.rows.length; ++i) {
        if (listing.folded[i]) markFolded(listing, i);
      }
      refreshAll();
    } finally {
      // The table stays out of layout while its rows arrive and are folded (the style's
      // "pending"); whatever happened above, it is shown now.
      body.classList.remove('pending');
    }
  }
  bindConfigurationPanel();
  bindSettingControls(refreshAll);
  bindPresetMenu();
  document.addEventListener('DOMContentLoaded', showFolderPath);
}

startPage();
