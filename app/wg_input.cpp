#include "InputMode.h"

int main() {
    return InputModeMain();
}
