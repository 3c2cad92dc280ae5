// The tool with its comparators' memory switched off: every comparison
// examines both names afresh and reads both files from the start. Tests hold
// the tool's output and the trees it leaves against this one's.
#include "compare/file_knowledge.h"
#include "run/driver.h"

int main(int argc, char **argv) {
    file_knowledge_enabled = false;
    run_twinfold(argc, argv);
}
