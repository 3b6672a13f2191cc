// tunova: the loader stub. It hands the runtime the program image linked into this executable.
#include "app/program.h"
#include "bootstrap/loader.h"

int main() {
  return tunova::runLoader(&tunova::kProgramImage);
}
