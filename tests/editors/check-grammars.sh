#!/usr/bin/env bash
# Checks that the editor grammars (Vim syntax, TextMate grammar) colour a
# script the way the compiler reads it: the first word of a line picks the
# statement by its first one or two characters, any other first word makes
# the line a comment, and what follows the last argument is never read.
#
# Usage: check-grammars.sh [path/to/quon-sim]
#   With quon-sim, the table below is first checked against the compiler
#   itself, so that the table cannot drift from the language. The Vim half
#   needs vim, the TextMate half needs node; a missing tool skips its half,
#   except under CI (QUON_CI set), where a check that cannot run fails.
# Prints "N passed, M failed" (and the skipped count) and exits non-zero on
# any failure.
set -u

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
sim=${1:-}
if [ -n "$sim" ]; then sim=$(cd "$(dirname "$sim")" && pwd)/$(basename "$sim"); fi

passed=0
failed=0
skipped=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); printf 'FAIL: %s\n' "$*"; }
skip() {
  if [ -n "${QUON_CI:-}" ]; then
    fail "$* (under CI every check must run)"
  else
    skipped=$((skipped + 1))
    printf 'skip: %s\n' "$*"
  fi
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# class | needle | line. The class is what the text at the needle's first
# occurrence is (with no needle: the first word). Lines are printf %b text,
# so \t is a TAB. Classes: wait output toggle delay repeat key spawn notate
# kill name separator comment, and for arguments number pattern key text.
table=$(cat <<'EOF'
wait||WAIT 0 1
wait||wait 0 1
wait||W 0 1
wait||Wxyz 0 1
wait||   WAIT 0 1
wait||WAIT\t0 1
output||OUTPUT 0 1
output||o 0 1
output||Open 0 1
toggle||TOGGLE 0 1
toggle||tick 0 1
delay||DELAY 1
delay||Delay the start
delay||d 1
repeat||REPEAT 1 2
repeat||rEPEAT 1 2
key||KEY a
key||Ke a
key||KEYBOARD a
key||  kE a
spawn||SPAWN date
spawn||SYSTEM date
spawn||s date
spawn||Set the bits
notate||NOTATE hello
notate||No hello
notate||note hello
kill||KILL worker
kill||Kick worker
kill||ki worker
name||NAME worker
name||nap worker
name||Na worker
separator||$
separator||$end of thread
separator||  $
separator||$$
comment||; a comment
comment||# a comment
comment||* a comment
comment||K a
comment||N a
comment||Kx a
comment||Nz a
comment||Ka a
comment||Ne a
comment||1 2
comment||-x
comment||/v
comment||.qun
comment||\tWAIT 0 1
comment||  \tDELAY 1
comment||_WAIT 0 1
comment||Über 1
comment||Ä 1
number|0|WAIT 0 11 trailing words
pattern|11|WAIT 0 11 trailing words
comment|trailing|WAIT 0 11 trailing words
pattern|8|OUTPUT 1 12345678
comment|9|OUTPUT 1 123456789
comment|11|WAIT 0 \t11
number|2.5|DELAY 2.5 seconds
comment|seconds|DELAY 2.5 seconds
number|1.5|REPEAT 0.5 1.5 later
comment|later|REPEAT 0.5 1.5 later
key|x|KEY xyz
comment|yz|KEY xyz
text|; not a comment|SPAWN date ; not a comment
text|; also text|NOTATE hello ; also text
text|worker|KILL worker
text| two|NAME  two
comment|rest|$ rest of line
EOF
)

classes=() needles=() lines=()
while IFS='|' read -r class needle line; do
  classes+=("$class")
  needles+=("$needle")
  lines+=("$(printf '%b' "$line")")
done <<<"$table"
count=${#lines[@]}
for ((i = 0; i < count; ++i)); do printf '%s\n' "${lines[i]}"; done >"$work/lines.qun"
for ((i = 0; i < count; ++i)); do printf '%s\n' "${needles[i]}"; done >"$work/needles.txt"

# Compares a file of classes with the table: one class a row, or with
# "firstwords" one a row without a needle (the rows the compiler answers).
compare() {  # name file [firstwords]
  local name=$1 only=${3:-} i=0 got
  skipneedles() {
    if [ -n "$only" ]; then
      while [ "$i" -lt "$count" ] && [ -n "${needles[i]}" ]; do i=$((i + 1)); done
    fi
  }
  while IFS= read -r got; do
    skipneedles
    if [ "$got" = "${classes[i]}" ]; then
      pass
    else
      fail "$name: '${lines[i]}' at '${needles[i]}': expected ${classes[i]}, got '$got'"
    fi
    i=$((i + 1))
  done <"$2"
  skipneedles
  if [ "$i" -ne "$count" ]; then fail "$name: answered $i of $count rows"; fi
}

# ---- The table against the compiler ----
# Each first word gets arguments that every statement accepts. A filler
# WAIT on port 77 stands between the rows, so the dump shows for each row
# either one token (its opcode names the statement) or none (a comment),
# and no two "$" rows meet to end the script. Thread 0 ends the program at
# its first step with a port out of range, so nothing else ever runs.
if [ -n "$sim" ]; then
  filler='WAIT 77 ........'
  {
    printf 'OUTPUT 9 1\n$\n%s\n' "$filler"
    for ((i = 0; i < count; ++i)); do
      if [ -n "${needles[i]}" ]; then continue; fi
      line=${lines[i]}
      lead=${line%%[! ]*}
      rest=${line#"$lead"}
      printf '%s%s 1 1\n%s\n' "$lead" "${rest%% *}" "$filler"
    done
    printf '$\n$\n'
  } >"$work/table.qun"
  mkdir "$work/run"
  printf '04\n0083\n' >"$work/run/QUON.INI"
  (cd "$work/run" && timeout 30 setsid -w "$sim" -d ../table.qun \
    </dev/null >dump.txt 2>err.txt)
  status=$?
  if [ "$status" -ne 255 ] || ! grep -q 'logical port 9' "$work/run/err.txt"; then
    fail "compiler run ended with status $status: $(cat "$work/run/err.txt")"
  elif [ -s "$work/run/QUON.log" ]; then
    fail "compiler reported errors: $(cat "$work/run/QUON.log")"
  else
    pass
    # Opcodes after the first thread, "-" for a filler.
    sed -n 's/^[0-9]*: OP = \(..\), Port = \(..\), Patt = \(....\)$/\1 \2 \3/p' \
      "$work/run/dump.txt" | tail -n +3 |
      while read -r op port patt; do
        if [ "$op $port $patt" = "00 4d 0000" ]; then echo -; else echo "$op"; fi
      done >"$work/ops.txt"
    # Between two fillers: one opcode, or nothing for a comment.
    awk '
      BEGIN { split("00 01 02 03 04 05 06 07 08 09 7f", op, " ")
              split("wait output toggle delay repeat key spawn notate name kill separator", name, " ")
              for (i in op) class[op[i]] = name[i] }
      NR == 1 { next }                      # the filler after the first thread
      $0 == "-" { print (pending == "" ? "comment" : pending); pending = ""; next }
      { pending = ($0 in class) ? class[$0] : "opcode " $0 }
    ' "$work/ops.txt" >"$work/compiler.txt"
    compare compiler "$work/compiler.txt" firstwords
  fi
else
  skip "no quon-sim given, table not checked against the compiler"
fi

# ---- Vim ----
if command -v vim >/dev/null 2>&1; then
  cat >"$work/classify.vim" <<'EOF'
let s:needles = readfile($QUON_WORK . '/needles.txt')
let s:out = []
for s:l in range(1, line('$'))
  let s:text = getline(s:l)
  let s:n = s:needles[s:l - 1]
  let s:c = s:n ==# '' ? match(s:text, '[^ ]') + 1 : stridx(s:text, s:n) + 1
  call add(s:out, synIDattr(synID(s:l, s:c, 1), 'name'))
endfor
call writefile(s:out, $QUON_WORK . '/vimgroups.txt')
EOF
  QUON_WORK=$work vim -N -u NONE -i NONE -es \
    -c "set rtp^=$root/editors/vim" -c 'filetype on' -c 'syntax on' \
    -c "edit $work/lines.qun" -c "source $work/classify.vim" -c 'qa!' \
    </dev/null >/dev/null 2>&1
  if [ -f "$work/vimgroups.txt" ]; then
    sed -e 's/^qunWait$/wait/;s/^qunOutput$/output/;s/^qunToggle$/toggle/' \
        -e 's/^qunDelay$/delay/;s/^qunRepeat$/repeat/;s/^qunKey$/key/' \
        -e 's/^qunSpawn$/spawn/;s/^qunNotate$/notate/;s/^qunKill$/kill/' \
        -e 's/^qunName$/name/;s/^qunSeparator$/separator/' \
        -e 's/^qunComment$/comment/;s/^qunTrailing$/comment/' \
        -e 's/^qunPort$/number/;s/^qunOffset$/number/;s/^qunTime$/number/' \
        -e 's/^qunPattern\(Set\|Clear\)\{0,1\}$/pattern/;s/^qunKeyChar$/key/' \
        -e 's/^qunText$/text/;s/^qunThreadName$/text/' \
        "$work/vimgroups.txt" >"$work/vim.txt"
    compare vim "$work/vim.txt"
  else
    fail "vim: the syntax file could not be run"
  fi
else
  skip "vim not found, Vim syntax not checked"
fi

# ---- TextMate (VS Code) ----
if command -v node >/dev/null 2>&1; then
  cat >"$work/classify.js" <<'EOF'
// Applies the grammar's top-level rules as a TextMate engine does for
// rules anchored at the start of a line: the first rule that matches wins.
// Also checks that no line is matched by two rules.
const fs = require('fs');
const [grammarfile, linesfile, needlesfile] = process.argv.slice(2);
const grammar = JSON.parse(fs.readFileSync(grammarfile, 'utf8'));
const lines = fs.readFileSync(linesfile, 'utf8').split('\n').slice(0, -1);
const needles = fs.readFileSync(needlesfile, 'utf8').split('\n');

function flatten(patterns) {
  const rules = [];
  for (const p of patterns) {
    if (p.include) rules.push(...flatten([grammar.repository[p.include.slice(1)]]));
    else if (p.patterns && !p.match) rules.push(...flatten(p.patterns));
    else rules.push(p);
  }
  return rules;
}
const rules = flatten(grammar.patterns).map((r) => ({ ...r, re: new RegExp(r.match, 'd') }));

function classof(scope) {
  let m;
  if ((m = /^keyword\.control\.(\w+)\.qun$/.exec(scope))) return m[1];
  if (/^comment\./.test(scope)) return 'comment';
  if (/^constant\.numeric\./.test(scope)) return 'number';
  if (/^constant\.other\.pattern\./.test(scope)) return 'pattern';
  if (/^constant\.character\.key\./.test(scope)) return 'key';
  if (/^string\./.test(scope)) return 'text';
  return 'scope ' + scope;
}

const out = [];
lines.forEach((line, i) => {
  const hits = rules.map((r) => [r, r.re.exec(line)]).filter(([, m]) => m && m.index === 0);
  if (hits.length > 1) {
    out.push('matched by ' + hits.length + ' rules');
    return;
  }
  if (hits.length === 0) {
    out.push('none');
    return;
  }
  const [rule, m] = hits[0];
  const needle = needles[i];
  const col = needle === '' ? line.search(/[^ ]/) : line.indexOf(needle);
  let scope = rule.name || '';
  for (const [group, capture] of Object.entries(rule.captures || {})) {
    const span = m.indices[Number(group)];
    if (span && span[0] <= col && col < span[1]) scope = capture.name;
  }
  out.push(scope === '' ? 'none' : classof(scope));
});
process.stdout.write(out.join('\n') + '\n');
EOF
  if node "$work/classify.js" "$root/editors/vscode/qun.tmLanguage.json" \
      "$work/lines.qun" "$work/needles.txt" >"$work/textmate.txt"; then
    compare textmate "$work/textmate.txt"
  else
    fail "textmate: the grammar could not be applied"
  fi
  # The extension's manifest must point at the grammar and the language
  # configuration that exist beside it.
  if node -e '
      const fs = require("fs"), path = require("path");
      const dir = process.argv[1];
      const pkg = JSON.parse(fs.readFileSync(path.join(dir, "package.json")));
      const lang = pkg.contributes.languages[0], gram = pkg.contributes.grammars[0];
      JSON.parse(fs.readFileSync(path.join(dir, lang.configuration)));
      const g = JSON.parse(fs.readFileSync(path.join(dir, gram.path)));
      if (gram.scopeName !== g.scopeName || gram.language !== lang.id) process.exit(1);
      if (!lang.extensions.includes(".qun")) process.exit(1);
    ' "$root/editors/vscode"; then
    pass
  else
    fail "textmate: package.json does not fit the grammar and configuration"
  fi
else
  skip "node not found, TextMate grammar not checked"
fi

# The compiler plugin: ":make" on a script fills the quickfix list with
# what "--check" reports, each at its line and of its kind.
if [ -n "$sim" ] && command -v vim >/dev/null 2>&1; then
  printf 'Start here\nWAIT\n$\n$\n' >"$work/make.qun"
  mkdir -p "$work/bin" && ln -sf "$sim" "$work/bin/quon-sim"
  (cd "$work" && PATH="$work/bin:$PATH" vim -N -u NONE -i NONE -es \
    -c "set rtp^=$root/editors/vim" -c 'edit make.qun' -c 'compiler quon' \
    -c 'silent make' \
    -c "call writefile(map(getqflist(), 'v:val.lnum . \" \" . v:val.type . \" \" . v:val.text'), 'quickfix.txt')" \
    -c 'qa!' </dev/null >/dev/null 2>&1)
  expected="1 w 'Start' is read as SPAWN: write SPAWN, or start a comment with ';'
2 e too few args to WAIT"
  if [ "$(cat "$work/quickfix.txt" 2>/dev/null)" = "$expected" ]; then
    pass
  else
    fail "vim: :compiler quon and :make gave: $(cat "$work/quickfix.txt" 2>/dev/null)"
  fi
elif [ -n "$sim" ]; then
  skip "vim not found, the compiler plugin not checked"
fi

# The problem matcher of the VS Code extension reads what "--check" prints,
# and the task the extension's folder offers uses it.
if [ -n "$sim" ] && command -v node >/dev/null 2>&1; then
  printf 'Start here\nWAIT\n$\n$\n' >"$work/match.qun"
  (cd "$work" && "$sim" --check match.qun) 2>"$work/check.txt" >/dev/null
  if node -e '
      const fs = require("fs"), path = require("path");
      const dir = process.argv[1];
      const pkg = JSON.parse(fs.readFileSync(path.join(dir, "package.json")));
      const tasks = JSON.parse(fs.readFileSync(path.join(dir, "tasks.json")));
      const m = pkg.contributes.problemMatchers[0];
      if (tasks.tasks[0].problemMatcher !== "$" + m.name) process.exit(1);
      const re = new RegExp(m.pattern.regexp), p = m.pattern, got = [];
      for (const line of fs.readFileSync(process.argv[2], "utf8").split("\n")) {
        const r = re.exec(line);
        if (r) got.push([r[p.file], r[p.line], r[p.severity], r[p.message]].join("|"));
      }
      const want = ["match.qun|1|warning|\u0027Start\u0027 is read as SPAWN: write SPAWN, or start a comment with \u0027;\u0027",
                    "match.qun|2|error|too few args to WAIT"];
      if (JSON.stringify(got) !== JSON.stringify(want)) { console.log(got); process.exit(1); }
    ' "$root/editors/vscode" "$work/check.txt"; then
    pass
  else
    fail "vscode: the problem matcher does not read --check's reports"
  fi
elif [ -n "$sim" ]; then
  skip "node not found, the problem matcher not checked"
fi

echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
