#include "app/run_settings.h"

int main(int argc, char** argv)
{
    return runMain(argc, argv);
}
