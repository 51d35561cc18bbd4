// ldiftool: creates the product's directory partition.
#include "zemir/tools/ldiftool.h"

int main(int argc, char** argv) { return zemir::tools::RunLdifTool(argc, argv); }
