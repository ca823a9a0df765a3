// quelmar: the desktop program.
#include "ui/gui_app.h"

int main(int argc, char** argv) {
  return quelmar::ui::RunQuelmar(argc, argv);
}
