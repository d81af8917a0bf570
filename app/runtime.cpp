/*
 * Trimmings of the C runtime's start-up code (Windows builds only).
 *
 * The start-up code applies "pseudo-relocations" before WinMain: fix-ups
 * for data that the program imports from a DLL without declaring it so.
 * The executable is linked with --disable-auto-import, which makes any
 * such import a link error, so there is never anything to fix up. This
 * empty version stands in for the runtime's own, which would bring along
 * its error printing and section walking and about 3 KB with them.
 */
extern "C" void _pei386_runtime_relocator(void)
{
}

/*
 * The start-up code installs _matherr as the handler of math errors in
 * msvcrt. The runtime's version prints a report to stderr, which a GUI
 * program does not have; nosaver calls no math functions. Returning 0
 * asks msvcrt for its default handling.
 */
struct _exception;
extern "C" int _matherr(struct _exception *)
{
    return 0;
}
