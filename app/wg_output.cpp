#include "OutputMode.h"

int main() {
    return OutputModeMain();
}
