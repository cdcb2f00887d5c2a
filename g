content
