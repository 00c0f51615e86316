#include <cstdio>

#include "config.h"

static constexpr char THIS_FILE[] = "src/main";

int main(int argc, char **argv)
{
    config *c = parse_arguments(argc, argv);
    (void)c;
    fprintf(stderr, "zarn-dwel-forwarder: start-up is not built yet\n");
    return 2;
}
