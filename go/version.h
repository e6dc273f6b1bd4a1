/* The library's version, which CMakeLists.txt defines from project(VERSION)
 * for its own build; TestBundledBuildFollowsCMake holds the two equal. */
#define VMD_VERSION "1.0.0"
