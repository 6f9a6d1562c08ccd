"""The content-delivery listeners (HTTPS and plain HTTP serve the same resources): what the
control listener put in place first, then the game catalogue (files, chunk indexes, images)."""

import servers


class CdnHandler(servers.StoreHandler):
    def route(self, method, path, query, entry):
        if method not in ("GET", "HEAD"):
            return servers.Response(405, "405 Method Not Allowed\n", headers=[("Allow", "GET, HEAD")])
        store = self.server.store
        resource = store.resources.get(path)
        if resource is None:
            resource = store.catalog.cdn_resource(path)
        if resource is None:
            return servers.text(404, "404 Not Found\n")
        if isinstance(resource, str):  # "unavailable"
            return servers.text(404, "404 Not Found: this file is not available\n")
        return servers.Response(200, resource, ranged=True)
