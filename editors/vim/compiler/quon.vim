" Vim compiler file for QUON scripts: ":compiler quon", then ":make" checks
" the script being edited with "quon --check" and fills the quickfix list
" with its errors and warnings (nothing runs, no port is touched).
if exists("current_compiler")
  finish
endif
let current_compiler = "quon"

if exists(":CompilerSet") != 2
  command -nargs=* CompilerSet setlocal <args>
endif

" quon-sim checks exactly as quon does and is there on machines without a port.
CompilerSet makeprg=quon-sim\ --check\ %:S
" FILE:LINE: error: TEXT and FILE:LINE: warning: TEXT; the summary line is
" no entry of its own.
CompilerSet errorformat=%f:%l:\ %trror:\ %m,%f:%l:\ %tarning:\ %m,%-G%.%#
