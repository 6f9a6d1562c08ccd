"""The content-delivery listeners (HTTPS and plain HTTP serve the same resources)."""

import servers


class CdnHandler(servers.StoreHandler):
    def route(self, method, path, query, entry):
        if method not in ("GET", "HEAD"):
            return servers.Response(405, "405 Method Not Allowed\n", headers=[("Allow", "GET, HEAD")])
        resource = self.server.store.resources.get(path)
        if resource is None:
            return servers.text(404, "404 Not Found\n")
        return servers.Response(200, resource, ranged=True)
