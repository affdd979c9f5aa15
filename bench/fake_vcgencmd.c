/* A stand-in for the board's vcgencmd with fixed answers, so that the
   benchmark can time the runs of the tool on any machine. */
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "get_throttled") == 0) {
    fputs("throttled=0x50005\n", stdout);
  } else if (argc == 3 && strcmp(argv[1], "measure_clock") == 0 && strcmp(argv[2], "arm") == 0) {
    fputs("frequency(48)=1500345728\n", stdout);
  } else {
    fputs("error=1 error_msg=\"Command not registered\"\n", stdout);
    return 1;
  }
  return 0;
}
