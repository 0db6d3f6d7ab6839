// node parse.mjs NODE_MODULES FILE... [--pwsh-only FILE...]: parses each
// file with tree-sitter's PowerShell grammar and prints one line for each
// ERROR or MISSING node in its tree, which is how the grammar shows a syntax
// error, and one for each construct that Windows PowerShell 2.0 on .NET 2.0
// cannot run (below); "parsed: FILE" for a file without either. Files after
// --pwsh-only run on PowerShell 7 alone and are checked for syntax only.
// Exit code 0 only when no file has a fault.
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

const [modules, ...args] = process.argv.slice(2);
const split = args.includes('--pwsh-only') ? args.indexOf('--pwsh-only') : args.length;
const files = args.slice(0, split).map((file) => ({ file, anyVersion: true }))
  .concat(args.slice(split + 1).map((file) => ({ file, anyVersion: false })));

// What PowerShell 2.0 (WMF 2.0, the only one XP and Server 2003 can have) on
// .NET 2.0 lacks, each with the version that brought it and the Microsoft
// page that says so. Matched on the syntax tree, so comments and single-quoted
// strings do not count. Type names are compared without "System.", in lower case.
const newerThanPowerShell2 = [
  { type: 'pscustomobject', since: 'PowerShell 3.0 (about_PSCustomObject)' },
  { type: 'ordered', since: 'PowerShell 3.0 (about_Hash_Tables)' },
  // about_Comparison_Operators: absent from 2.0's (previous-versions/dd315321), in 3.0's (hh847759).
  { operator: ['-in', '-iin', '-cin', '-notin', '-inotin', '-cnotin'], since: 'PowerShell 3.0 (about_Comparison_Operators)' },
  // about_Automatic_Variables: absent from 2.0's (previous-versions/dd347675),
  // in 3.0's (hh847768); $PSScriptRoot was for modules only before 3.0.
  { variable: ['$pscommandpath', '$psitem', '$psscriptroot'], since: 'PowerShell 3.0 (about_Automatic_Variables)' },
  // about_Arrays: "Beginning in PowerShell 4.0, collection filtering by using a method syntax is supported."
  { method: ['foreach', 'where'], since: 'PowerShell 4.0 (about_Arrays)' },
  // PowerShell 101, Working with WMI: the CIM cmdlets came with PowerShell 3.0.
  { command: /^[a-z]+-cim/, since: 'PowerShell 3.0 (CimCmdlets)' },
  // The "Applies to" table of each member's page begins at .NET Framework 4.0.
  { member: ['version::tryparse', 'environment::is64bitoperatingsystem', 'environment::is64bitprocess',
      'string::isnullorwhitespace'], since: '.NET Framework 4.0 (its API reference)' },
];

// What the list says of the construct a node is, or undefined.
function newerConstruct(node) {
  const text = node.text.toLowerCase();
  const typeOf = (literal) =>
    literal.descendantsOfType('type_name')[0]?.text.toLowerCase().replace(/^system\./, '');
  const memberOf = () => node.children.find((child) => child.type === 'member_name')?.text.toLowerCase();
  const rule = newerThanPowerShell2.find((rule) =>
    (node.type === 'type_literal' && rule.type === typeOf(node)) ||
    (node.type === 'comparison_operator' && rule.operator?.includes(text)) ||
    (node.type === 'variable' && rule.variable?.includes(text)) ||
    (node.type === 'command_name' && rule.command?.test(text)) ||
    (node.type === 'invokation_foreach_expression' && rule.method) ||
    (node.type === 'invokation_expression' && node.child(1)?.type === '.' && rule.method?.includes(memberOf())) ||
    (['invokation_expression', 'member_access'].includes(node.type) && node.child(0)?.type === 'type_literal' &&
      rule.member?.includes(`${typeOf(node.child(0))}::${memberOf()}`)));
  return rule?.since;
}

const { Parser, Language } = await import(pathToFileURL(join(modules, 'web-tree-sitter/web-tree-sitter.js')).href);
await Parser.init();
const PowerShell = await Language.load(join(modules, 'tree-sitter-powershell/tree-sitter-powershell.wasm'));
const parser = new Parser();
parser.setLanguage(PowerShell);

let failed = false;
for (const { file, anyVersion } of files) {
  const text = readFileSync(file, 'utf8').replace(/^\uFEFF/, '');
  const tree = parser.parse(text);
  const faults = [];
  const cursor = tree.walk();
  for (let more = true; more;) {
    const node = cursor.currentNode;
    const newer = anyVersion && !node.isError && !node.isMissing ? newerConstruct(node) : undefined;
    if (node.isError || node.isMissing || newer) {
      const where = `${file}:${node.startPosition.row + 1}:${node.startPosition.column + 1}`;
      const line = text.split(/\r?\n/)[node.startPosition.row].trim();
      const fault = newer ? `needs ${newer}` : node.isMissing ? `missing ${node.type}` : 'syntax error';
      faults.push(`${where}: ${fault}: ${line}`);
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
