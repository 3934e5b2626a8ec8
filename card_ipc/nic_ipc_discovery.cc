// Discovery queries: placeholder until they land.
