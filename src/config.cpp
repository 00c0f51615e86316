#include "config.h"
config *parse_arguments(int, char **) { return nullptr; }
