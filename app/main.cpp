#include "app/app.h"

int main(int argc, char** argv) { return tessaro::app::Main(argc, argv); }
