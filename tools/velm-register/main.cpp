#include "RegisterTool.h"

#include <iostream>

int main(int argc, char** argv)
{
    return VelmTool::RunRegister(argc, argv, std::cout, std::cerr);
}
