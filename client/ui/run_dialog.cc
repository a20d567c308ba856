int RunDialogPlaceholder() { return 0; }
