// Parses a T-SQL script with an independent ANTLR grammar of T-SQL.
// Usage: node check.js FILE
// The script is split at its "GO" lines; every batch is parsed on its own
// and the whole file once more as one script. Output, one item a line:
//   ERR <batch> <line>:<col> <message>    a syntax error
//   BATCHES <n>                           number of batches
//   ID <hex>                              a bracketed identifier, unescaped, UTF-8 hex
//   STR <hex>                             a string literal's value, unescaped, UTF-8 hex
// Exit code 0 when nothing failed to parse, 1 otherwise.
'use strict';
require('antlr4ts');
const fs = require('fs');
const { antlr4tsSQL } = require('antlr4ts-sql');
const { SQLDialect } = require('antlr4ts-sql/dist/src/models/SQLDialect');
const { TSqlLexer } = require('antlr4ts-sql/dist/src/grammar-output/tsql/TSqlLexer');

const hex = (s) => Buffer.from(s, 'utf8').toString('hex');

function parse(sql, tag, out) {
  let failed = false;
  const listener = {
    syntaxError: (_r, _o, line, col, msg) => {
      failed = true;
      out.push(`ERR ${tag} ${line}:${col} ${msg.replace(/\s+/g, ' ').slice(0, 300)}`);
    },
  };
  const a = new antlr4tsSQL(SQLDialect.TSQL);
  const tokens = a.getTokens(sql, [listener]);
  const parser = a.getParser(tokens, [listener]);
  a.getParseTree(parser);
  return { failed, tokens };
}

const text = fs.readFileSync(process.argv[2], 'utf8');
const out = [];
let failed = false;
const batches = text.split(/^[ \t]*GO[ \t]*\r?$/im);
out.push(`BATCHES ${batches.length}`);
batches.forEach((b, i) => {
  if (b.trim() === '') return;
  const r = parse(b, i, out);
  failed = failed || r.failed;
  for (const t of r.tokens.getTokens()) {
    const tt = b.slice(t.startIndex, t.stopIndex + 1);
    if (t.type === TSqlLexer.SQUARE_BRACKET_ID) {
      out.push('ID ' + hex(tt.slice(1, -1).replace(/]]/g, ']')));
    } else if (t.type === TSqlLexer.STRING) {
      const s = tt.replace(/^N/i, '');
      out.push('STR ' + hex(s.slice(1, -1).replace(/''/g, "'")));
    }
  }
});
const whole = parse(text, 'all', out);
failed = failed || whole.failed;
process.stdout.write(out.join('\n') + '\n');
process.exit(failed ? 1 : 0);
