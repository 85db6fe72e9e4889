// korrender: renders a scene file with the korshaders shader library.
#include "korhost.h"

int main(int argc, char **argv) {
    return korhost::korrender_main(argc, argv);
}
