"""The program's fixed texts on standard output."""

__all__ = ["OPTIONS_TEXT", "USAGE_TEXT", "NO_DASH_TEXT", "BAD_OPTION_TEXT", "DONE_TEXT",
           "FAIL_LINE", "GOTO_TEXT", "SCAN_FAIL_TEXT", "SHORT_FAIL_TEXT"]

OPTIONS_TEXT = (" -b2rb : binary to readable binary\n"
                " -b2t  : binary to txt\n"
                " -t2b  : txt to binary\n")
USAGE_TEXT = ("\n"
              "you need to input option, input-filename,and output-filename.\n"
              "for example : tvqconverter -b2rb 1001.tvq 1001.txt\n\n"
              "available option is\n"
              + OPTIONS_TEXT + "\n")
NO_DASH_TEXT = "second argument is option\n" + OPTIONS_TEXT + "\n"
BAD_OPTION_TEXT = "available option is\n" + OPTIONS_TEXT + "\n"
DONE_TEXT = "\n conversion is done!!\n\n"
FAIL_LINE = "convertion did not finish normaly\n"
GOTO_TEXT = "\n goto next event block\n\n"
SCAN_FAIL_TEXT = "\n scaned number and number_of_data is not consistent!!\n\n"
# a value outside 16 bits with two bytes per value
SHORT_FAIL_TEXT = ("input data is too large or small for short\n"
                   "error@Cdata_reader::convert_data_to_data_t\n")
