// keyboard.cpp
