// Reads an Access file with mdb-reader, an independent reader, and prints what it holds.
// Usage: node check.mjs [--system] FILE...   (--system: the system tables too)
// Output, one item a line, for each file in turn:
//   FILE <path>
//   SORT <default sort order as JSON>
//   TABLE <name> <row count>
//   COLUMN <table> <name> <type>
//   ROW <table> <json array of values>   dates as ISO text, binary as hex, others as mdb-reader gives them
// Exit code 0 when every file and every table read, 1 otherwise (the error follows "ERR").
import fs from 'node:fs';
import MDBReader from 'mdb-reader';

const show = (v) => {
  if (v === null || v === undefined) return null;
  if (v instanceof Date) return v.toISOString();
  if (Buffer.isBuffer(v)) return 'hex:' + v.toString('hex');
  if (typeof v === 'bigint') return v.toString();
  if (Array.isArray(v)) return v.map(show);
  if (typeof v === 'object') return JSON.stringify(v);
  return v;
};

const system = process.argv.includes('--system');
let failed = false;
for (const file of process.argv.slice(2).filter((a) => a !== '--system')) {
  console.log(`FILE ${file}`);
  try {
    const reader = new MDBReader(fs.readFileSync(file));
    console.log(`SORT ${JSON.stringify(reader.getDefaultSortOrder())}`);
    for (const name of reader.getTableNames({ normalTables: true, systemTables: system })) {
      const table = reader.getTable(name);
      console.log(`TABLE ${name} ${table.rowCount}`);
      for (const c of table.getColumns()) console.log(`COLUMN ${name} ${c.name} ${c.type}`);
      for (const row of table.getData()) console.log(`ROW ${name} ${JSON.stringify(table.getColumnNames().map((c) => show(row[c])))}`);
    }
  } catch (e) {
    console.log(`ERR ${e && e.message ? e.message : e}`);
    failed = true;
  }
}
process.exitCode = failed ? 1 : 0; // not process.exit(): it can cut off output still going down a pipe
