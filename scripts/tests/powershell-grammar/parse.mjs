// node parse.mjs NODE_MODULES FILE...: parses each file with tree-sitter's
// PowerShell grammar and prints one line for each ERROR or MISSING node in
// its tree, which is how the grammar shows a syntax error; "parsed: FILE"
// for a file without one. Exit code 0 only when no file has one.
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

const [modules, ...files] = process.argv.slice(2);
const { Parser, Language } = await import(pathToFileURL(join(modules, 'web-tree-sitter/web-tree-sitter.js')).href);
await Parser.init();
const PowerShell = await Language.load(join(modules, 'tree-sitter-powershell/tree-sitter-powershell.wasm'));
const parser = new Parser();
parser.setLanguage(PowerShell);

let failed = false;
for (const file of files) {
  const text = readFileSync(file, 'utf8').replace(/^\uFEFF/, '');
  const tree = parser.parse(text);
  const faults = [];
  const cursor = tree.walk();
  for (let more = true; more;) {
    const node = cursor.currentNode;
    if (node.isError || node.isMissing) {
      const where = `${file}:${node.startPosition.row + 1}:${node.startPosition.column + 1}`;
      const line = text.split(/\r?\n/)[node.startPosition.row].trim();
      faults.push(`${where}: ${node.isMissing ? `missing ${node.type}` : 'syntax error'}: ${line}`);
    }
    if (cursor.gotoFirstChild())
      continue;
    while (!cursor.gotoNextSibling()) {
      if (!cursor.gotoParent()) {
        more = false;
        break;
      }
    }
  }
  // The root says whether the tree holds an error anywhere: a file must not
  // pass because the walk missed one.
  if (tree.rootNode.hasError && faults.length === 0)
    faults.push(`${file}: syntax error`);
  if (faults.length > 0) {
    failed = true;
    console.log(faults.join('\n'));
  } else {
    console.log(`parsed: ${file}`);
  }
}
process.exit(failed ? 1 : 0);
