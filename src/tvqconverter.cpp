// tvqconverter: checks the command line, opens the two files, runs one
// conversion and turns its status into the exit status (0, or 255 on failure).
#include "tvqconverter.h"

#include <cstdio>

#include "Cconverter.h"
#include "Cfile.h"
#include "tvq_constants.h"

namespace {

const char* const options =
    " -b2rb : binary to readable binary\n -b2t  : binary to txt\n -t2b  : txt to binary\n";

}  // namespace

int check_arguments(int argc, const char* const* argv, std::string& option, std::string& input,
                    std::string& output) {
  if (argc != 4) {
    std::printf("\n%s%s%s%s\n", "you need to input option, input-filename,and output-filename.\n",
                "for example : tvqconverter -b2rb 1001.tvq 1001.txt\n\n", "available option is\n",
                options);
    return ERROR;
  }
  if (argv[1][0] != '-') {
    std::printf("second argument is option\n%s\n", options);
    return ERROR;
  }
  option = argv[1];
  if (option != "-b2rb" && option != "-b2t" && option != "-t2b") {
    std::printf("available option is\n%s\n", options);
    return ERROR;
  }
  input = argv[2];
  output = argv[3];
  return OK;
}

int main(int argc, char** argv) {
  std::string option;
  std::string input_name;
  std::string output_name;
  if (check_arguments(argc, argv, option, input_name, output_name) == ERROR) return -1;

  Cfile* input = new Cfile;
  Cfile* output = new Cfile;
  const bool from_text = option == "-t2b";
  if ((from_text ? input->fopen_r(input_name) : input->fopen_rb(input_name)) == ERROR) return -1;
  if ((from_text ? output->fopen_wb(output_name) : output->fopen_w(output_name)) == ERROR)
    return -1;

  Cconverter* converter = new Cconverter;
  converter->set_file(input, "in");
  converter->set_file(output, "out");

  int result = ERROR;
  if (option == "-b2rb")
    result = converter->convert_binary_to_readable_binary();
  else if (option == "-b2t")
    result = converter->convert_binary_to_txt();
  else
    result = converter->convert_txt_to_binary();
  if (result == ERROR) {
    std::puts("convertion did not finish normaly");
    return -1;
  }

  delete converter;
  // Success is only what reached the file: the last buffered bytes are
  // written when the output is closed, and may still fail there.
  if (output->close() == ERROR) {
    std::puts("convertion did not finish normaly");
    return -1;
  }
  delete output;
  delete input;
  std::puts("\n conversion is done!!\n");
  return 0;
}
