#include "run/driver.h"

int main(int argc, char **argv) {
    run_twinfold(argc, argv);
}
