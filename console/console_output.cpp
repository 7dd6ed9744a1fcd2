// console_output.cpp
