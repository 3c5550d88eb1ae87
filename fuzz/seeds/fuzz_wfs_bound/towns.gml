<wfs:FeatureCollection xmlns:wfs="http://www.opengis.net/wfs" xmlns:gml="http://www.opengis.net/gml">
 <gml:boundedBy><gml:Box srsName="EPSG:4326"><gml:coordinates>0,40 10,50</gml:coordinates></gml:Box></gml:boundedBy>
 <gml:featureMember><ns:towns fid="towns.1"><ns:the_geom><gml:Point><gml:coordinates>1,41</gml:coordinates></gml:Point></ns:the_geom>
  <ns:NAME>Alpha</ns:NAME><ns:POP>100</ns:POP><ns:zkArea>1.5</ns:zkArea></ns:towns></gml:featureMember>
 <gml:featureMember><ns:towns fid="towns.2"><ns:NAME>Beta</ns:NAME><ns:POP>2000</ns:POP>
  <ns:the_geom><gml:Point><gml:coordinates>5,45</gml:coordinates></gml:Point></ns:the_geom></ns:towns></gml:featureMember>
</wfs:FeatureCollection>
