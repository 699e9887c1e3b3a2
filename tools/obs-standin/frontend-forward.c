/* Every export of obs-frontend-api.dll is a forwarder (obs-frontend-api.def); a DLL needs one unit. */
typedef int kelp_frontend_forward_unit;
