"""Set-up shared by the Python tests: they import the installed package, as a user would. The
package's source lies under src/, so the checkout's root folder hides nothing."""
