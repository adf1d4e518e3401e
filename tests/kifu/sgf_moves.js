#!/usr/bin/env node
// Reads SGF files with an independent SGF parser (the npm package
// @sabaki/sgf) and prints, for each file, what the kifu tests compare with
// the stored game:
//
//   file <path>
//   comment <GC of the root, unescaped>
//   <move number> <colour> <point>     one line per stone
//
// Setup stones (AB, AW of the root) have move number 0 and come first, their
// lines sorted as strings (their order is no part of the game); the n-th node after
// the root is move n, and a node whose move is a pass (empty value or "tt")
// prints nothing. Colour 1 black, 2 white; point = column * 19 + row + 1 with
// column and row from 0 at the top left. A file that does not hold exactly
// one game tree without variations, or a move on no point of a 19 x 19
// board, is an error: a line on stderr and exit status 1.
//
// Usage: node sgf_moves.js FILE...
'use strict';
const fs = require('fs');
const sgf = require('@sabaki/sgf');

function point(value, where) {
  if (!/^[a-s][a-s]$/.test(value)) throw new Error(`${where}: "${value}" is no point`);
  return (value.charCodeAt(0) - 97) * 19 + (value.charCodeAt(1) - 97) + 1;
}

function stonesOf(file) {
  const roots = sgf.parse(fs.readFileSync(file, 'utf8'));
  if (roots.length !== 1) throw new Error(`${file}: ${roots.length} game trees`);
  const lines = [`file ${file}`];
  const root = roots[0];
  lines.push(`comment ${(root.data.GC || [''])[0]}`);
  const setup = [];
  for (const [key, colour] of [['AB', 1], ['AW', 2]]) {
    for (const v of root.data[key] || []) setup.push(`0 ${colour} ${point(v, file + ' ' + key)}`);
  }
  lines.push(...setup.sort());
  let node = root;
  for (let move = 1; node.children.length > 0; ++move) {
    if (node.children.length !== 1) throw new Error(`${file}: a variation at move ${move - 1}`);
    node = node.children[0];
    const key = node.data.B ? 'B' : node.data.W ? 'W' : null;
    if (key === null || (node.data.B && node.data.W)) {
      throw new Error(`${file}: node ${move} has not exactly one move`);
    }
    const value = node.data[key][0];
    if (value === '' || value === 'tt') continue;
    lines.push(`${move} ${key === 'B' ? 1 : 2} ${point(value, file + ' move ' + move)}`);
  }
  return lines;
}

try {
  const out = [];
  for (const file of process.argv.slice(2)) out.push(...stonesOf(file));
  process.stdout.write(out.join('\n') + '\n');
} catch (e) {
  process.stderr.write(`sgf_moves: ${e.message}\n`);
  process.exit(1);
}
