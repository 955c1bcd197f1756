#include "app/Log.h"
int main() { logf("placeholder"); }
