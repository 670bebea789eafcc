// kydemo: every feature of libKyLibCurl against an embedded server on 127.0.0.1, with what came back.
#include "demo.h"

int main() { return kydemo::RunDemo(); }
