// Filtering and sorting of the listing (tessaroql.js has read the rows into `listing`).
//
// The filter keeps every row whose name holds the typed text, ignoring case, and every folder
// above one, as the item tree's own filter does; folders on the way to a match open while the
// filter is on and fold back as they were when it is cleared. A click on a column title sorts
// the rows within each folder, a second click reverses the order and a third brings back the
// archive's order. Only the rows the page holds take part: a listing cut short stays short.
//
// This text is put into the page when the plug-in is built, before the page's values are: it
// holds no percent sign, so that nothing in it reads as a placeholder.
'use strict';

var SORT_COLUMNS = ['cN', 'cD', 'cS', 'cP', 'cK', 'cA'];
// Columns sorted by a number the row carries rather than by the text shown.
var SORT_NUMBERS = { cD: 'data-t', cS: 'data-s', cP: 'data-p' };

var listingTools = {
  filter: '',
  foldedBeforeFilter: null,
  column: '',
  descending: false,
  keys: {},  // per column, the sort key of every row by its place in the archive
  collator: typeof Intl !== 'undefined' ? new Intl.Collator(undefined, { numeric: true, sensitivity: 'base' }) : null,
};

// The text a column shows for a row; for the name, only the name (no fold toggle or mark).
function cellText(row, column) {
  var cell = row.querySelector(column === 'cN' ? 'td.cN div.n a' : 'td.' + column);
  return cell ? cell.textContent : '';
}

// Adds what filtering and sorting need to `state`: each row's place in the archive and its name
// in lower case. Both move with the rows when they are sorted.
function readListingExtras(state) {
  var count = state.rows.length;
  state.archive = new Int32Array(count);
  state.names = new Array(count);
  for (var i = 0; i !== count; ++i) {
    state.archive[i] = i;
    state.names[i] = cellText(state.rows[i], 'cN').toLowerCase();
  }
}

// The index of each row's folder row, -1 for a top-level row.
function parentIndices(state) {
  var count = state.rows.length;
  var parent = new Int32Array(count);
  var stack = [];
  for (var i = 0; i !== count; ++i) {
    while (stack.length !== 0 && state.level[stack[stack.length - 1]] >= state.level[i]) stack.pop();
    parent[i] = stack.length !== 0 ? stack[stack.length - 1] : -1;
    stack.push(i);
  }
  return parent;
}

// Marks the rows the filter keeps in state.kept (none when the filter is empty) and returns the
// folders to open on the way to them. A hidden item that is out of view keeps nothing, not even
// itself, as in the tree, where a hidden child does not keep its folder.
function applyFilter(state, text) {
  var count = state.rows.length;
  if (text === '') {
    state.kept = null;
    return null;
  }
  var parent = parentIndices(state);
  var kept = new Uint8Array(count);
  var open = new Uint8Array(count);
  // A child always follows its folder, so walking backwards decides every child first.
  for (var i = count - 1; i !== -1; --i) {
    if ((state.flags[i] & ROW_HIDDEN) !== 0 && !showHiddenFiles) {
      kept[i] = 0;
      continue;
    }
    if (kept[i] === 1 || state.names[i].indexOf(text) !== -1) {
      kept[i] = 1;
      if (parent[i] !== -1) {
        kept[parent[i]] = 1;
        open[parent[i]] = 1;
      }
    }
  }
  state.kept = kept;
  return open;
}

// Rows of a simple listing alternate in colour by their place among the rows in view.
function restripe(state) {
  if (!simple) return;
  var shown = 0;
  for (var i = 0; i !== state.rows.length; ++i) {
    if (state.out[i]) continue;
    ++shown;
    state.rows[i].classList.toggle('row1', (shown & 1) === 1);
    state.rows[i].classList.toggle('row0', (shown & 1) === 0);
  }
}

function setFilter(text) {
  var state = listing;
  var tools = listingTools;
  text = text.toLowerCase();
  if (!state || text === tools.filter) return;
  if (tools.filter === '') tools.foldedBeforeFilter = state.folded.slice();
  tools.filter = text;
  var open = applyFilter(state, text);
  var saved = tools.foldedBeforeFilter;
  for (var i = 0; i !== state.rows.length; ++i) {
    var folded = open !== null && open[i] ? 0 : saved[i];
    if (state.folded[i] !== folded) {
      state.folded[i] = folded;
      markFolded(state, i);
    }
  }
  if (text === '') tools.foldedBeforeFilter = null;
  refreshAll();
  restripe(state);
  var field = document.getElementById('filter');
  if (field) field.classList.toggle('none', state.kept !== null && state.kept.indexOf(1) === -1);
}

// The key of every row by its place in the archive, read once per column.
function sortKeys(state, column) {
  var keys = listingTools.keys[column];
  if (keys) return keys;
  keys = new Array(state.rows.length);
  var attribute = SORT_NUMBERS[column];
  for (var i = 0; i !== state.rows.length; ++i) {
    var row = state.rows[i];
    if (attribute) {
      var value = row.hasAttribute(attribute) ? Number(row.getAttribute(attribute)) : NaN;
      // Entries without a date (or a number that does not parse) come before all others.
      keys[state.archive[i]] = isFinite(value) ? value : -Infinity;
    } else {
      keys[state.archive[i]] = cellText(row, column);
    }
  }
  listingTools.keys[column] = keys;
  return keys;
}

// The order of the rows within each folder: by `column` (archive order for none), ties in
// archive order. Returns the new order as indices of the current one.
function sortedOrder(state, column, descending) {
  var count = state.rows.length;
  var parent = parentIndices(state);
  var children = [];
  var top = [];
  for (var i = 0; i !== count; ++i) {
    if (parent[i] === -1) {
      top.push(i);
    } else {
      if (!children[parent[i]]) children[parent[i]] = [];
      children[parent[i]].push(i);
    }
  }
  var keys = column ? sortKeys(state, column) : null;
  var collator = listingTools.collator;
  var compare = function (a, b) {
    var archiveA = state.archive[a];
    var archiveB = state.archive[b];
    if (keys) {
      var x = keys[archiveA];
      var y = keys[archiveB];
      var order = typeof x === 'number' ? (x === y ? 0 : x < y ? -1 : 1)
                                        : collator ? collator.compare(x, y) : x.localeCompare(y);
      if (order !== 0) return descending ? -order : order;
    }
    return archiveA - archiveB;
  };
  // Pre-order again, folder before its sorted children, without recursion (deep trees).
  var result = [];
  var pending = [top.sort(compare)];
  var positions = [0];
  while (pending.length !== 0) {
    var depth = pending.length - 1;
    var list = pending[depth];
    if (positions[depth] === list.length) {
      pending.pop();
      positions.pop();
      continue;
    }
    var index = list[positions[depth]++];
    result.push(index);
    if (children[index]) {
      pending.push(children[index].sort(compare));
      positions.push(0);
    }
  }
  return result;
}

// Puts the rows (in the table and in every per-row array) into `order`.
function reorderRows(state, order) {
  var fields = ['rows', 'level', 'flags', 'folded', 'out', 'archive', 'names', 'kept'];
  for (var f = 0; f !== fields.length; ++f) {
    var old = state[fields[f]];
    if (!old) continue;
    var moved = Array.isArray(old) ? new Array(old.length) : new old.constructor(old.length);
    for (var i = 0; i !== order.length; ++i) moved[i] = old[order[i]];
    state[fields[f]] = moved;
  }
  if (listingTools.foldedBeforeFilter) {
    var saved = listingTools.foldedBeforeFilter;
    var movedSaved = new saved.constructor(saved.length);
    for (var j = 0; j !== order.length; ++j) movedSaved[j] = saved[order[j]];
    listingTools.foldedBeforeFilter = movedSaved;
  }
  var body = document.getElementById('rows');
  var fragment = document.createDocumentFragment();
  for (var k = 0; k !== state.rows.length; ++k) fragment.appendChild(state.rows[k]);
  body.appendChild(fragment);
}

// One click on a column title: ascending, then descending, then the archive's order again.
function sortBy(column) {
  var state = listing;
  var tools = listingTools;
  if (!state || SORT_COLUMNS.indexOf(column) === -1) return;
  if (tools.column !== column) {
    tools.column = column;
    tools.descending = false;
  } else if (!tools.descending) {
    tools.descending = true;
  } else {
    tools.column = '';
    tools.descending = false;
  }
  reorderRows(state, sortedOrder(state, tools.column, tools.descending));
  restripe(state);
  var titles = document.querySelectorAll('#table thead th');
  Array.prototype.forEach.call(titles, function (title) {
    if (tools.column !== '' && title.classList.contains(tools.column)) {
      title.setAttribute('aria-sort', tools.descending ? 'descending' : 'ascending');
    } else {
      title.removeAttribute('aria-sort');
    }
  });
}

// Filters and sorts again, after the names changed (another reading of them) or what the
// filter keeps did.
function refreshListingTools() {
  var state = listing;
  var tools = listingTools;
  if (!state) return;
  delete tools.keys.cN;
  if (tools.filter !== '') {
    var text = tools.filter;
    setFilter('');
    setFilter(text);
  }
  if (tools.column !== '') {
    reorderRows(state, sortedOrder(state, tools.column, tools.descending));
    restripe(state);
  }
}

function bindListingTools() {
  var field = document.getElementById('filter');
  if (field) {
    field.addEventListener('input', function () { setFilter(field.value); });
    field.addEventListener('keydown', function (event) {
      if (event.key !== 'Escape') return;
      event.preventDefault();
      field.value = '';
      setFilter('');
    });
    // Whether hidden items are shown changes which folders a match keeps.
    var hiddenBox = document.querySelector('#config-panel input[data-key=showHiddenFiles]');
    if (hiddenBox) {
      hiddenBox.addEventListener('change', function () {
        if (listingTools.filter !== '') refreshListingTools();
      });
    }
  }
  var titles = document.querySelectorAll('#table thead th');
  Array.prototype.forEach.call(titles, function (title) {
    var column = SORT_COLUMNS.filter(function (name) { return title.classList.contains(name); })[0];
    if (!column) return;
    title.tabIndex = 0;
    title.classList.add('sortable');
    title.addEventListener('click', function () { sortBy(column); });
    title.addEventListener('keydown', function (event) {
      if (event.key !== 'Enter' && event.key !== ' ') return;
      event.preventDefault();
      sortBy(column);
    });
  });
}

if (listing) readListingExtras(listing);
bindListingTools();
