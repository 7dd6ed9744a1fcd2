// clock.cpp
