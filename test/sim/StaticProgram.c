/* A program linked statically: no dynamic loader starts it, so no preload
   library reaches it. The simulator's launcher refuses to run it. */
int main(void) {
    return 0;
}
