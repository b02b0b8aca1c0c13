" QUON scripts: *.qun, in any case of the extension.
autocmd BufRead,BufNewFile *.[qQ][uU][nN] setfiletype qun
