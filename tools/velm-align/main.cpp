#include "AlignTool.h"

#include <iostream>

int main(int argc, char** argv)
{
    return VelmTool::RunAlign(argc, argv, std::cout, std::cerr);
}
