"""Set-up shared by the Python tests: they import the installed package, as a user would. The
package's source lies under src/, so the checkout's root folder hides nothing."""


def pytest_addoption(parser):
    parser.addoption(
        "--random-seeds", dest="random_seeds", default=None, metavar="N|A:B",
        help="seeds of test_random_sequences.py: 0..N-1, or A..B-1 (default 12 seeds; also "
             "the environment variable MESHVOLT_RANDOM_SEEDS)")
