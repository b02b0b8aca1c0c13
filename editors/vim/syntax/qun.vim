" Vim syntax file
" Language:    QUON script (.qun)
"
" The first one or two characters of a line's first word pick the statement,
" upper or lower case alike, exactly as the compiler reads them: W O T D R S $
" by one character, KE NO KI NA by two. A first word that picks nothing makes
" the whole line a comment, so prose like "Delay the start" shows as a DELAY
" here, just as the compiler will take it. Words are split at spaces only; a
" TAB belongs to a word, so a line indented with a TAB is a comment.

if exists("b:current_syntax")
  finish
endif

syn case match

" Comment: a first word that matches no statement.
syn match qunComment /^ *\%([WwOoTtDdRrSs$]\|[Kk][EeIi]\|[Nn][OoAa]\)\@![^ ].*$/

" Statements: the whole first word is the keyword.
syn match qunWait      /^ *\zs[Ww][^ ]*/        nextgroup=qunPortGap
syn match qunOutput    /^ *\zs[Oo][^ ]*/        nextgroup=qunPortGap
syn match qunToggle    /^ *\zs[Tt][^ ]*/        nextgroup=qunPortGap
syn match qunDelay     /^ *\zs[Dd][^ ]*/        nextgroup=qunTimeGap
syn match qunRepeat    /^ *\zs[Rr][^ ]*/        nextgroup=qunOffsetGap
syn match qunKey       /^ *\zs[Kk][Ee][^ ]*/    nextgroup=qunKeyGap
syn match qunSpawn     /^ *\zs[Ss][^ ]*/        nextgroup=qunTextGap
syn match qunNotate    /^ *\zs[Nn][Oo][^ ]*/    nextgroup=qunTextGap
syn match qunKill      /^ *\zs[Kk][Ii][^ ]*/    nextgroup=qunNameGap
syn match qunName      /^ *\zs[Nn][Aa][^ ]*/    nextgroup=qunNameGap
" A "$" word closes the thread; the rest of its line is never read.
syn match qunSeparator /^ *\zs\$[^ ]*/          nextgroup=qunTrailing

" Whatever follows the last argument is never read: a trailing comment.
" (Defined before the arguments, which win where both could start.)
syn match qunTrailing     /.\+$/       contained

" Arguments, each after its own run of spaces (only spaces separate words:
" a TAB is part of the word it stands in). WAIT, OUTPUT and TOGGLE take a
" port and a pattern; only the first eight places of a pattern count and a
" TAB ends it.
syn match qunPortGap      / \+/        contained nextgroup=qunPort
syn match qunPort         /[^ ]\+/     contained nextgroup=qunPatternGap
syn match qunPatternGap   / \+/        contained nextgroup=qunPattern,qunTrailing
syn match qunPattern      /[^ \t]\{1,8}/ contained nextgroup=qunTrailing
                          \ contains=qunPatternSet,qunPatternClear
syn match qunPatternSet   /1/          contained
syn match qunPatternClear /0/          contained
syn match qunOffsetGap    / \+/        contained nextgroup=qunOffset
syn match qunOffset       /[^ ]\+/     contained nextgroup=qunTimeGap
syn match qunTimeGap      / \+/        contained nextgroup=qunTime
syn match qunTime         /[^ ]\+/     contained nextgroup=qunTrailing
" KEY waits for the first character of its word; the rest is ignored.
syn match qunKeyGap       / \+/        contained nextgroup=qunKeyChar
syn match qunKeyChar      /[^ ]/       contained nextgroup=qunTrailing
" SPAWN, NOTATE, KILL and NAME take everything after the one space that ends
" the keyword, spaces included: no comment can follow them.
syn match qunTextGap      / /          contained nextgroup=qunText
syn match qunText         /.\+$/       contained
syn match qunNameGap      / /          contained nextgroup=qunThreadName
syn match qunThreadName   /.\+$/       contained

hi def link qunComment      Comment
hi def link qunTrailing     Comment
hi def link qunWait         Statement
hi def link qunOutput       Statement
hi def link qunToggle       Statement
hi def link qunDelay        Statement
hi def link qunRepeat       Statement
hi def link qunKey          Statement
hi def link qunSpawn        Statement
hi def link qunNotate       Statement
hi def link qunKill         Statement
hi def link qunName         Statement
hi def link qunSeparator    Special
hi def link qunPort         Number
hi def link qunOffset       Float
hi def link qunTime         Float
hi def link qunPattern      Constant
hi def link qunPatternSet   Boolean
hi def link qunPatternClear Boolean
hi def link qunKeyChar      Character
hi def link qunText         String
hi def link qunThreadName   Identifier

let b:current_syntax = "qun"
