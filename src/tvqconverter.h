// The command line of tvqconverter: option, input file name, output file name.
#ifndef TVQCONVERTER_H
#define TVQCONVERTER_H

#include <string>

// check_arguments() : OK when argv holds exactly an option among -b2rb, -b2t
// and -t2b and two file names; ERROR after the matching usage message.
int check_arguments(int argc, const char* const* argv, std::string& option, std::string& input,
                    std::string& output);

#endif
